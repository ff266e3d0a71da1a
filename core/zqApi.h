#pragma once
// ZQ_API marks what the library exports. The library is built with hidden visibility, so a
// shared libzq exports only the classes, functions and variables of its headers that carry it;
// tools/annotate-exports.py puts it on them.

#define ZQ_API __attribute__((visibility("default")))
