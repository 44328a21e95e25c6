#!/usr/bin/env python3
"""Checks a shipped pairset.exe as Windows XP would load it: the machine it is built for, large-
address-awareness for the 32-bit one, exactly the imports listed below (each checked against
what XP, or XP x64 for the 64-bit one, exports), header versions XP accepts, and the
application manifest that makes Vista and later run it as itself
(asInvoker: no VirtualStore) and know it was made for them. Reads the executable with pefile;
runs nothing.

    pe_check.py PAIRSET.EXE i386|amd64
"""
import sys
import xml.etree.ElementTree as ElementTree

import pefile

# Every function each shipped program imports, with the oldest Windows whose DLL exports it (the
# "minimum supported client" that Microsoft documents; for msvcrt.dll, the msvcrt.dll that
# Windows XP ships, version 7.0). Each entry was checked once, when it was added, to be exported
# by 32-bit Windows XP SP3 (i386) or by Windows XP x64 (amd64). An import that is not listed
# fails the check until it is looked up and added here, since one that XP lacks stops the
# program from starting there ("procedure entry point not found").
NT4, W2000, XP, XP64 = "Windows NT 4.0", "Windows 2000", "Windows XP", "Windows XP x64"
CRT = "msvcrt.dll of Windows XP"
COMMON_KERNEL32 = {
    **dict.fromkeys([
        "CloseHandle", "CreateFileW", "CreateSemaphoreW", "DeleteCriticalSection", "DeleteFileW",
        "EnterCriticalSection", "ExitProcess", "FlushConsoleInputBuffer", "FormatMessageA",
        "GetCommandLineW", "GetConsoleMode", "GetCurrentThreadId", "GetFileAttributesW",
        "GetFileInformationByHandle", "GetFileType", "GetFullPathNameW", "GetLastError",
        "GetModuleHandleW", "GetProcAddress", "GetStartupInfoA", "GetStartupInfoW", "GetStdHandle",
        "GetTempPathW", "GetVolumeInformationW", "InitializeCriticalSection", "IsDBCSLeadByteEx",
        "LeaveCriticalSection", "LoadLibraryW", "LocalFree", "LockFileEx", "MoveFileExW",
        "MultiByteToWideChar", "ReadConsoleInputW", "ReleaseSemaphore", "RemoveDirectoryW",
        "SetConsoleCtrlHandler", "SetEndOfFile", "SetFileAttributesW", "SetFilePointer",
        "SetLastError", "SetUnhandledExceptionFilter", "Sleep", "TlsAlloc", "TlsFree",
        "TlsGetValue", "TlsSetValue", "VirtualProtect", "VirtualQuery", "WaitForSingleObject",
        "WideCharToMultiByte", "WriteConsoleW", "GetDiskFreeSpaceExW"], NT4),
    **dict.fromkeys([
        "CreateHardLinkW", "FindFirstVolumeW", "FindNextVolumeW", "FindVolumeClose",
        "GetConsoleWindow", "GetFileSizeEx", "SetFilePointerEx"], W2000),
    "GetConsoleProcessList": XP,
    # Whether Explorer started the run, which alone may keep its window open for a key.
    **dict.fromkeys(["CreateToolhelp32Snapshot", "Process32FirstW", "Process32NextW"], W2000),
    **dict.fromkeys(["GetCurrentProcessId", "lstrcmpiW"], NT4),
    # Who the run is, for whom an undo copy or the state folder it finds is trusted; whether the
    # volume keeps owners, and named streams for the new file's mark.
    "GetCurrentProcess": XP, "GetVolumePathNameW": XP,
    # The undo copy's state folder, and the new files that runs cut short left behind.
    **dict.fromkeys([
        "CreateDirectoryW", "FindClose", "FindFirstFileW", "FindNextFileW",
        "GetSystemTimeAsFileTime", "UnlockFileEx"], NT4),
    # The new file's own handle, kept until it is in place or removed.
    "DuplicateHandle": NT4,
}
COMMON_MSVCRT = dict.fromkeys([
    "__getmainargs", "__initenv", "__set_app_type", "__setusermatherr", "_amsg_exit", "_cexit",
    "_close", "_commit", "_errno", "_fdopen", "_filelengthi64", "_fileno", "_findclose",
    "_fstat64", "_get_osfhandle", "_initterm", "_lseeki64", "_onexit", "_read", "_telli64",
    "_wchdir", "_wchmod", "_wfopen", "_wfullpath", "_wgetcwd", "_wmkdir", "_wopen", "_write",
    "_wstat64", "abort", "calloc", "exit", "fclose", "fflush", "fgetpos",
    "fopen", "fprintf", "fputc", "fputs", "fread", "free", "fsetpos", "fwrite", "getc", "getwc",
    "iswctype", "localeconv", "malloc", "memchr", "memcmp", "memcpy", "memmove", "memset", "putc",
    "putwc", "realloc", "setlocale", "setvbuf", "signal", "strcmp", "strcoll", "strerror",
    "strftime", "strlen", "strncmp", "strxfrm", "towlower", "towupper", "ungetc", "ungetwc",
    "vfprintf", "wcscat", "wcscmp", "wcscoll", "wcscpy", "wcsftime", "wcslen", "wcsxfrm",
    "_open_osfhandle", "_wgetenv", "fputwc", "fwprintf",
    # The undo copy, shared with no one while a run holds it.
    "_wsopen"], CRT)
COMMON_OTHERS = {
    # Who owns an undo copy or the state folder, and who else may write them or the target.
    "advapi32.dll": dict.fromkeys([
        "EqualSid", "GetAce", "GetLengthSid", "GetNamedSecurityInfoW", "GetSecurityInfo",
        "GetTokenInformation", "IsWellKnownSid", "OpenProcessToken"], XP),
    # The state folder on Windows XP, which sets no %LOCALAPPDATA%.
    "shell32.dll": {"CommandLineToArgvW": NT4, "SHGetFolderPathW": W2000},
    "user32.dll": {"GetProcessWindowStation": NT4, "GetUserObjectInformationW": NT4},
}
IMPORTS = {
    "i386": {
        "kernel32.dll": {**COMMON_KERNEL32, "FreeLibrary": NT4, "GetModuleHandleA": NT4,
                         "LoadLibraryA": NT4},
        "msvcrt.dll": {**COMMON_MSVCRT, **dict.fromkeys([
            "__mb_cur_max", "__p__acmdln", "__p__commode", "__p__fmode", "_iob", "_wfindfirst",
            "_wfindnext", "_wutime", "atoi", "strchr"], CRT)},
        **COMMON_OTHERS,
    },
    "amd64": {
        "kernel32.dll": {**COMMON_KERNEL32, **dict.fromkeys([
            "RaiseException", "RtlCaptureContext", "RtlLookupFunctionEntry", "RtlUnwindEx",
            "RtlVirtualUnwind", "__C_specific_handler"], XP64)},
        "msvcrt.dll": {**COMMON_MSVCRT, **dict.fromkeys([
            "___lc_codepage_func", "___mb_cur_max_func", "__iob_func", "_acmdln", "_commode",
            "_fmode", "_wfindfirst64", "_wfindnext64", "_wutime64"], CRT)},
        **COMMON_OTHERS,
    },
}

# The newest Windows the headers may name: XP (5.1) for the 32-bit program, XP x64 (5.2) for the
# 64-bit one; a newer one stops the program from loading on XP.
NEWEST_VERSION = {"i386": (5, 1), "amd64": (5, 2)}

# The supportedOS entries of Windows Vista, 7, 8, 8.1 and 10 (which 11 shares).
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}


def manifest_problems(pe):
    """Gives what is wrong with the manifest that Windows reads at start (RT_MANIFEST, ID 1)."""
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in resources.entries if resources else []:
        if kind.id != pefile.RESOURCE_TYPE["RT_MANIFEST"]:
            continue
        for entry in kind.directory.entries:
            if entry.id != 1:
                continue
            data = entry.directory.entries[0].data.struct
            root = ElementTree.fromstring(pe.get_data(data.OffsetToData, data.Size))
            # XP SP2 reads requestedExecutionLevel only in the asm.v2 namespace.
            levels = [e.get("level") for e in root.iter()
                      if e.tag == "{urn:schemas-microsoft-com:asm.v2}requestedExecutionLevel"]
            systems = {e.get("Id") for e in root.iter() if e.tag.endswith("}supportedOS")}
            problems = []
            if levels != ["asInvoker"]:
                problems.append(f"requestedExecutionLevel {levels}")
            if systems != SUPPORTED_OS:
                problems.append(f"supportedOS {sorted(systems)}")
            return problems
    return ["no manifest"]


def main():
    path, machine = sys.argv[1], sys.argv[2]
    pe = pefile.PE(path)
    imports = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode().lower()
        imports[dll] = {i.name.decode() for i in entry.imports if i.name}
    wanted_machine = {"i386": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
                      "amd64": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]}[machine]
    large_address_aware = bool(pe.FILE_HEADER.Characteristics &
                               pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_LARGE_ADDRESS_AWARE"])
    manifest = manifest_problems(pe)
    imported_pairs = {(dll, name) for dll, names in imports.items() for name in names}
    listed_pairs = {(dll, name) for dll, names in IMPORTS[machine].items() for name in names}
    unlisted, unused = imported_pairs - listed_pairs, listed_pairs - imported_pairs
    header = pe.OPTIONAL_HEADER
    os_version = (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion)
    subsystem_version = (header.MajorSubsystemVersion, header.MinorSubsystemVersion)
    checks = [
        ("machine is " + machine, pe.FILE_HEADER.Machine == wanted_machine,
         hex(pe.FILE_HEADER.Machine)),
        # A 64-bit program is always large-address-aware; the 32-bit one must say so.
        ("large-address-aware", large_address_aware, "flag missing"),
        ("no link timestamp", pe.FILE_HEADER.TimeDateStamp == 0, str(pe.FILE_HEADER.TimeDateStamp)),
        ("imports exactly the functions listed, each checked against XP", not unlisted and
         not unused, f"not listed: {sorted(unlisted)}; listed, not imported: {sorted(unused)}"),
        ("header versions at most " + ".".join(map(str, NEWEST_VERSION[machine])),
         max(os_version, subsystem_version) <= NEWEST_VERSION[machine],
         f"operating system {os_version}, subsystem {subsystem_version}"),
        ("manifest: asInvoker, made for Vista to 11", not manifest, "; ".join(manifest)),
    ]
    failed = 0
    for label, ok, detail in checks:
        print(("ok     " if ok else "FAILED ") + f"{path}: {label}" + ("" if ok else f": {detail}"))
        failed += not ok
    print(f"{len(checks) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
