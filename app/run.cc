#include "app/run.h"

#include <optional>
#include <string_view>
#include <utility>

#include "app/messages.h"
#include "settings/source_file.h"
#include "settings/target_file.h"

namespace pairset {
namespace {

constexpr std::string_view kNameSwitch = "/N";

// Gives the source at `path` whole, or nothing after writing why it could not be loaded.
std::optional<SourceFile> load(Printer& out, const char* path) {
  LoadResult result = load_source_file(path);
  switch (result.status) {
    case LoadStatus::kLoaded:
      return std::move(result.file);
    case LoadStatus::kCannotOpen:
      print_open_failure(out, path);
      break;
    case LoadStatus::kReadError:
      print_read_failure(out, path);
      break;
    case LoadStatus::kOutOfMemory:
      print_out_of_memory(out, path);
      break;
  }
  return std::nullopt;
}

}  // namespace

void run_pairset(std::span<const char* const> args, Printer& out) {
  if (args.size() < 2) {
    print_usage(out);
    return;
  }

  // A run that was cut short while it wrote the target in place left its old contents in an
  // undo copy; they go back before anything is read, since a source may be that very target.
  // The target is looked up once, here: the restore and the write are made on the file found.
  const bool names_a_target = args.size() == 3 || (args.size() == 5 && args[3] == kNameSwitch);
  FoundTarget target;
  if (names_a_target) {
    target = find_target_file(args[2]);
    const WriteStatus restored = restore_target_file(target, args[0], args[1]);
    if (restored == WriteStatus::kCannotOpen) {
      print_open_failure(out, args[2]);
      return;
    }
    if (restored != WriteStatus::kWritten) {
      print_write_failure(out, args[2]);
      return;
    }
  }

  // The input source is loaded and checked before the form of the command is judged.
  const char* const input_path = args[0];
  const std::optional<SourceFile> input = load(out, input_path);
  if (!input) return;
  if (!has_source_signature(*input)) {
    print_not_cn1(out, input_path);
    print_usage(out);
    return;
  }

  std::optional<std::string_view> new_name;
  if (args.size() == 5 && args[3] == kNameSwitch) {
    new_name = args[4];
  } else if (args.size() != 3) {
    print_usage(out);
    return;
  }

  const char* const output_path = args[1];
  const std::optional<SourceFile> output = load(out, output_path);
  if (!output) return;
  if (!has_source_signature(*output)) {
    print_second_not_cn1(out, input_path, output_path);
    print_usage(out);
    return;
  }

  // The target may be either source: a body is read as it was before the target changed.
  const char* const target_path = args[2];
  switch (write_target_file(target_path, std::move(target), *input, *output, new_name)) {
    case WriteStatus::kWritten:
      print_success(out);
      break;
    case WriteStatus::kCannotOpen:
      print_open_failure(out, target_path);
      break;
    case WriteStatus::kWriteError:
      print_write_failure(out, target_path);
      break;
    case WriteStatus::kOutOfMemory:
      print_out_of_memory(out, target_path);
      break;
    case WriteStatus::kInputReadError:
      print_read_failure(out, input_path);
      break;
    case WriteStatus::kOutputReadError:
      print_read_failure(out, output_path);
      break;
  }
}

}  // namespace pairset
