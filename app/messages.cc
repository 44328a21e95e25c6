#include "app/messages.h"

#include "app/cp866.h"

namespace pairset {
namespace {

// Gives a text in both its forms: UTF-8 as written here, and CP866 converted by the compiler.
template <cp866::Utf8Literal text>
consteval Text texts() {
  return {text.view(), cp866::bytes<text>()};
}

// The usage text, as the terminal's users have always seen it (typos included: scripts and
// habits match on it).
constexpr Text kUsage = texts<
    u8"\nКонвертирует файлы настроек для DNC-терминала версий v1.0, v1.1, v1.2\n"
    u8"(файлы *.cn1) в файлы настроек УЧПУ для DNC-терминала версии v1.3 и выше\n"
    u8"для отдельного УЧПУ.\n\n"
    u8"PAIRSET <input_source>.cn1 <output_source>.cn1 <target>.c13 [/N <name>]\n\n"
    u8"    <input_source>.cn1 - исходный файл настоек для DNC-терминала версий v1.0,\n"
    u8"                         v1.1, v1.2 для ввода в УЧПУ\n"
    u8"    <output_source>.cn1 - исходный файл настоек для DNC-терминала версий v1.0,\n"
    u8"                         v1.1, v1.2 для вывода в УЧПУ\n"
    u8"    <target>.c13 - результирующий файл настоек для DNC-терминала версии v1.3\n"
    u8"                         и выше\n"
    u8"    <name> - имя настройки УЧПУ в результирующем файле\n">();

// The message for each failure, before the path of the file it names.
struct FailureText {
  Failure failure;
  Text text;
};
constexpr FailureText kFailureTexts[] = {
    {Failure::kCannotOpen, texts<u8"\nНе могу открыть файл '">()},  // it may not be opened
    {Failure::kReadError, texts<u8"\nОшибка чтения файла '">()},    // it opened, reading failed
    {Failure::kWriteError, texts<u8"\nОшибка записи файла '">()},   // writing or closing failed
    {Failure::kOutOfMemory, texts<u8"\nНе хватает памяти для файла '">()},  // too large to keep
};
constexpr Text kPathEnd = texts<u8"'\n">();
constexpr Text kFile = texts<u8"\nФайл '">();
constexpr Text kNotCn1 = texts<u8"' не является файлом формата .cn1.\n\n">();
constexpr Text kIsCn1ButFile = texts<u8"' формата .cn1. Но файл '">();
constexpr Text kPressAnyKey = texts<u8"\nНажмите любую клавишу, чтобы закрыть окно.\n">();
constexpr Text kSuccess = texts<u8"\nPAIRSET завешилась успешно.\n\n">();

// Writes a message that names one path between two fixed texts.
void print_with_path(Printer& out, Text before, std::string_view path, Text after) {
  const Piece message[] = {before, Name{path}, after};
  out.print(message);
}

// Prints one fixed text.
void print_text(Printer& out, Text text) {
  const Piece message[] = {text};
  out.print(message);
}

}  // namespace

void print_usage(Printer& out) {
  print_text(out, kUsage);
}

void print_failure(Printer& out, Failure failure, std::string_view path) {
  for (const FailureText& known : kFailureTexts) {
    if (known.failure == failure) print_with_path(out, known.text, path, kPathEnd);
  }
}

void print_not_cn1(Printer& out, std::string_view input_source) {
  print_with_path(out, kFile, input_source, kNotCn1);
}

void print_second_not_cn1(Printer& out, std::string_view input_source,
                          std::string_view output_source) {
  const Piece message[] = {kFile, Name{input_source}, kIsCn1ButFile, Name{output_source}, kNotCn1};
  out.print(message);
}

void print_success(Printer& out) {
  print_text(out, kSuccess);
}

Text press_any_key() {
  return kPressAnyKey;
}

}  // namespace pairset
