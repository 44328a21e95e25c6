#include "app/messages.h"

#include "app/cp866.h"

namespace pairset {
namespace {

using cp866::bytes;

// The usage text, as the terminal's users have always seen it (typos included: scripts and
// habits match on it).
constexpr std::string_view kUsage = bytes<
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

constexpr std::string_view kOpenFailure = bytes<u8"\nНе могу открыть файл '">();
constexpr std::string_view kReadFailure = bytes<u8"\nОшибка чтения файла '">();
constexpr std::string_view kWriteFailure = bytes<u8"\nОшибка записи файла '">();
constexpr std::string_view kOutOfMemory = bytes<u8"\nНе хватает памяти для файла '">();
constexpr std::string_view kPathEnd = "'\n";
constexpr std::string_view kFile = bytes<u8"\nФайл '">();
constexpr std::string_view kNotCn1 = bytes<u8"' не является файлом формата .cn1.\n\n">();
constexpr std::string_view kIsCn1ButFile = bytes<u8"' формата .cn1. Но файл '">();
constexpr std::string_view kSuccess = bytes<u8"\nPAIRSET завешилась успешно.\n\n">();

// Writes a message that names one path between two fixed texts.
void print_with_path(std::ostream& out, std::string_view before, std::string_view path,
                     std::string_view after) {
  out << before << path << after;
}

}  // namespace

void print_usage(std::ostream& out) {
  out << kUsage;
}

void print_open_failure(std::ostream& out, std::string_view path) {
  print_with_path(out, kOpenFailure, path, kPathEnd);
}

void print_read_failure(std::ostream& out, std::string_view path) {
  print_with_path(out, kReadFailure, path, kPathEnd);
}

void print_write_failure(std::ostream& out, std::string_view path) {
  print_with_path(out, kWriteFailure, path, kPathEnd);
}

void print_out_of_memory(std::ostream& out, std::string_view path) {
  print_with_path(out, kOutOfMemory, path, kPathEnd);
}

void print_not_cn1(std::ostream& out, std::string_view input_source) {
  print_with_path(out, kFile, input_source, kNotCn1);
}

void print_second_not_cn1(std::ostream& out, std::string_view input_source,
                          std::string_view output_source) {
  out << kFile << input_source << kIsCn1ButFile << output_source << kNotCn1;
}

void print_success(std::ostream& out) {
  out << kSuccess;
}

}  // namespace pairset
