// Linked with the whole of one layer's library and only the layers below it: a call from the
// layer into one above it leaves an undefined symbol, and the build fails.
int main() { return 0; }
