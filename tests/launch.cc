// Starts the program named by its arguments in this program's own console, with no creation
// flags, waits for it and ends with its status: a program that starts pairset.exe as a DNC front
// end or a script host does, sharing its console. A copy named explorer.exe stands for Explorer
// starting the program with a double-click: it then leaves the console to the program, which is
// alone in it, as in the window that Explorer (which has no console) opens for it.
#include <windows.h>

#include <string>

int main() {
  // The command line after this program's own name, as it was given.
  std::wstring line = GetCommandLineW();
  const bool quoted = !line.empty() && line[0] == L'"';
  std::size_t end = quoted ? line.find(L'"', 1) : line.find(L' ');
  if (end == std::wstring::npos) return 2;
  line = line.substr(line.find_first_not_of(L' ', end + 1));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                     &process) == 0) {
    return 2;
  }
  wchar_t own_path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, own_path, MAX_PATH);
  const std::wstring own(own_path, length);
  const std::size_t slash = own.find_last_of(L"\\/");
  if (lstrcmpiW(own.substr(slash == std::wstring::npos ? 0 : slash + 1).c_str(), L"explorer.exe") ==
      0) {
    FreeConsole();
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 2;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}
