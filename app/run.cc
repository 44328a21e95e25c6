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

// Prints the message for what went wrong in `outcome`, naming its file (the target, at
// `target_path`, where it names no source); gives true where nothing did.
bool report(Printer& out, const Outcome& outcome, const char* target_path) {
  if (outcome.ok()) return true;
  print_failure(out, outcome.failure, outcome.path != nullptr ? outcome.path : target_path);
  return false;
}

// Gives the source at `path` whole, or nothing after writing why it could not be loaded.
std::optional<SourceFile> load(Printer& out, const char* path) {
  LoadResult result = load_source_file(path);
  if (!report(out, result.outcome, path)) return std::nullopt;
  return std::move(result.file);
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
  std::optional<FoundTarget> target;
  if (names_a_target) {
    target.emplace(args[2]);
    if (!report(out, target->restore(args.first(2)), args[2])) return;
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
  if (report(out, write_target_file(std::move(*target), *input, *output, new_name), args[2])) {
    print_success(out);
  }
}

}  // namespace pairset
