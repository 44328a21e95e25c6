#include "system/target_output.h"

#include <cerrno>
#include <utility>

#include "system/platform.h"

namespace pairset {
namespace {

// Gives true for the errors of a folder that takes no new file.
bool is_refusal(int error) {
  return error == EACCES || error == EPERM || error == EROFS;
}

}  // namespace

TargetOutput::TargetOutput(const char* path) {
  const std::filesystem::path native = platform::native_path(path);
  // An existing target is opened for writing, without emptying it, to learn that it may be
  // written at all: a rename would replace even a read-only file.
  platform::Descriptor existing(platform::open_existing_for_writing(native));
  if (!existing.is_open() && errno != ENOENT) return;

  if (existing.is_open() && !platform::is_regular_file(existing.get())) {
    stream_.reset(platform::writing_stream(existing.get()));
    if (stream_) {
      static_cast<void>(existing.release());
      status_ = TargetStatus::kOpened;
    }
    return;
  }

  target_ = platform::follow_links(native);
  platform::Descriptor made(platform::create_temporary(target_, existing.get(), temporary_));
  if (!made.is_open()) {
    const int error = errno;
    temporary_.clear();
    if (!existing.is_open()) return;  // no folder, or one that takes no file: as creating it would
    if (!is_refusal(error)) {
      status_ = TargetStatus::kWriteError;
      return;
    }
    stream_.reset(platform::open_stream(native, "wb"));
    if (stream_) status_ = TargetStatus::kOpened;
    return;
  }
  stream_.reset(platform::writing_stream(made.get()));
  if (!stream_) {
    status_ = TargetStatus::kWriteError;
    return;
  }
  static_cast<void>(made.release());
  status_ = TargetStatus::kOpened;
}

TargetOutput::~TargetOutput() {
  // Closed first: Windows removes no open file.
  stream_.reset();
  if (!temporary_.empty()) platform::remove_file(temporary_);
}

bool TargetOutput::commit() {
  const bool flushed = platform::flush_to_disk(stream_.get());
  const bool closed = close_file(std::move(stream_));
  if (!flushed || !closed) return false;
  if (temporary_.empty()) return true;
  if (!platform::replace_file(temporary_, target_)) return false;
  temporary_.clear();
  return true;
}

}  // namespace pairset
