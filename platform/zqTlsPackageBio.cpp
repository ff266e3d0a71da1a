#include "platform/zqTlsPackageBio.h"

#include <algorithm>
#include <cstring>

namespace zq {

namespace {

TzqTlsRecordIo* IoOf(BIO* bio) { return static_cast<TzqTlsRecordIo*>(BIO_get_data(bio)); }

int ReadBio(BIO* bio, char* buffer, int size) {
  BIO_clear_retry_flags(bio);
  int n = IoOf(bio)->Read(buffer, size);
  if (n == 0) BIO_set_retry_read(bio);  // "not yet", never an end: the caller lends more later
  return n > 0 ? n : -1;
}

int WriteBio(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  return IoOf(bio)->Write(data, size);
}

long ControlBio(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int CreateBio(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* RecordMethod() {
  static const TzqBioMethodPtr method = [] {
    TzqBioMethodPtr made(BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zq TLS records"));
    if (made != nullptr &&
        (BIO_meth_set_read(made.get(), ReadBio) != 1 || BIO_meth_set_write(made.get(), WriteBio) != 1 ||
         BIO_meth_set_ctrl(made.get(), ControlBio) != 1 || BIO_meth_set_create(made.get(), CreateBio) != 1))
      made.reset();
    return made;
  }();
  return method.get();
}

}  // namespace

TzqBioPtr TzqTlsRecordIo::NewBio() {
  const BIO_METHOD* method = RecordMethod();
  TzqBioPtr bio(method != nullptr ? BIO_new(method) : nullptr);
  if (bio != nullptr) BIO_set_data(bio.get(), this);
  return bio;
}

void TzqTlsRecordIo::Keep(const uint8_t* data, size_t size) {
  if (keptAt_ == kept_.size()) {
    kept_.clear();
    keptAt_ = 0;
  }
  kept_.insert(kept_.end(), data, data + size);
}

void TzqTlsRecordIo::Lend(const uint8_t* data, size_t size) {
  EndLoan();
  lent_ = data;
  lentSize_ = size;
}

void TzqTlsRecordIo::EndLoan() {
  if (lentSize_ > 0) Keep(lent_, lentSize_);
  lent_ = nullptr;
  lentSize_ = 0;
}

int TzqTlsRecordIo::Read(char* buffer, int size) {
  size_t wanted = size > 0 ? static_cast<size_t>(size) : 0;
  if (keptAt_ < kept_.size()) {
    size_t n = std::min(wanted, kept_.size() - keptAt_);
    std::memcpy(buffer, kept_.data() + keptAt_, n);
    keptAt_ += n;
    return static_cast<int>(n);
  }
  size_t n = std::min(wanted, lentSize_);
  if (n > 0) std::memcpy(buffer, lent_, n);
  lent_ += n;
  lentSize_ -= n;
  return static_cast<int>(n);
}

void TzqTlsRecordIo::LendOutput(uint8_t* region, size_t capacity) {
  region_ = region;
  regionCapacity_ = capacity;
  regionUsed_ = 0;
}

size_t TzqTlsRecordIo::EndOutputLoan() {
  size_t used = regionUsed_;
  region_ = nullptr;
  regionCapacity_ = regionUsed_ = 0;
  return used;
}

TzqByteArray TzqTlsRecordIo::TakeOutput() {
  TzqByteArray output;
  output.swap(keptOutput_);
  return output;
}

int TzqTlsRecordIo::Write(const char* data, int size) {
  if (size <= 0) return 0;
  auto n = static_cast<size_t>(size);
  const auto* bytes = reinterpret_cast<const uint8_t*>(data);
  // Once anything was kept, the rest follows it, so that the order stays whole.
  if (region_ != nullptr && keptOutput_.empty() && regionCapacity_ - regionUsed_ >= n) {
    std::memcpy(region_ + regionUsed_, bytes, n);
    regionUsed_ += n;
  } else {
    keptOutput_.insert(keptOutput_.end(), bytes, bytes + n);
  }
  return size;
}

}  // namespace zq
