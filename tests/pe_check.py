#!/usr/bin/env python3
"""Checks a shipped pairset.exe as Windows XP would load it: the machine it is built for, large-
address-awareness for the 32-bit one, the DLLs it needs, no import that XP (or XP x64, for the
64-bit one) lacks, and the application manifest that makes Vista and later run it as itself
(asInvoker: no VirtualStore) and know it was made for them. Reads the executable with pefile;
runs nothing.

    pe_check.py PAIRSET.EXE i386|amd64
"""
import sys
import xml.etree.ElementTree as ElementTree

import pefile

# Functions that came with Vista or later; an import of any one stops the program from starting
# on XP with "procedure entry point not found".
NOT_ON_XP = {
    "GetTickCount64", "GetSystemTimePreciseAsFileTime", "GetErrorMode", "SetThreadErrorMode",
    # condition variables, slim reader/writer locks, one-time initialisation
    "InitializeConditionVariable", "SleepConditionVariableCS", "SleepConditionVariableSRW",
    "WakeConditionVariable", "WakeAllConditionVariable", "InitializeSRWLock",
    "AcquireSRWLockExclusive", "AcquireSRWLockShared", "ReleaseSRWLockExclusive",
    "ReleaseSRWLockShared", "TryAcquireSRWLockExclusive", "TryAcquireSRWLockShared",
    "InitOnceInitialize", "InitOnceExecuteOnce", "InitOnceBeginInitialize", "InitOnceComplete",
    "InitializeCriticalSectionEx", "CreateEventExA", "CreateEventExW", "CreateMutexExA",
    "CreateMutexExW", "CreateSemaphoreExA", "CreateSemaphoreExW", "CreateWaitableTimerExW",
    # fiber-local storage (XP x64 has it, 32-bit XP does not)
    "FlsAlloc", "FlsFree", "FlsGetValue", "FlsSetValue",
    # files
    "SetFileInformationByHandle", "GetFileInformationByHandleEx", "GetFinalPathNameByHandleA",
    "GetFinalPathNameByHandleW", "CreateSymbolicLinkA", "CreateSymbolicLinkW", "CreateFile2",
    "CancelIoEx", "GetQueuedCompletionStatusEx", "CopyFile2", "MoveFileTransactedW",
    # locale names
    "GetLocaleInfoEx", "LCMapStringEx", "CompareStringEx", "GetUserDefaultLocaleName",
    "GetSystemDefaultLocaleName", "LocaleNameToLCID", "LCIDToLocaleName", "EnumSystemLocalesEx",
    "GetDateFormatEx", "GetTimeFormatEx", "GetNumberFormatEx", "IsValidLocaleName",
    "ResolveLocaleName", "GetStringTypeEx",
    # processes and threads
    "GetCurrentProcessorNumber", "GetThreadId", "GetProcessIdOfThread", "QueryFullProcessImageNameA",
    "QueryFullProcessImageNameW", "GetThreadPreferredUILanguages", "GetUserPreferredUILanguages",
    "RegGetValueA", "RegGetValueW", "WerRegisterRuntimeExceptionModule",
}

# The DLLs every Windows from XP on has; the program needs nothing else.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "shell32.dll", "user32.dll", "advapi32.dll"}


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
    imported = set().union(*imports.values()) if imports else set()
    wanted_machine = {"i386": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
                      "amd64": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]}[machine]
    large_address_aware = bool(pe.FILE_HEADER.Characteristics &
                               pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_LARGE_ADDRESS_AWARE"])
    manifest = manifest_problems(pe)
    checks = [
        ("machine is " + machine, pe.FILE_HEADER.Machine == wanted_machine,
         hex(pe.FILE_HEADER.Machine)),
        # A 64-bit program is always large-address-aware; the 32-bit one must say so.
        ("large-address-aware", large_address_aware, "flag missing"),
        ("no link timestamp", pe.FILE_HEADER.TimeDateStamp == 0, str(pe.FILE_HEADER.TimeDateStamp)),
        ("only system DLLs", set(imports) <= SYSTEM_DLLS, str(sorted(set(imports) - SYSTEM_DLLS))),
        ("no import that Windows XP lacks", not imported & NOT_ON_XP,
         str(sorted(imported & NOT_ON_XP))),
        # XP's msvcrt.dll has none of the secure functions (_chsize_s and the like), which came
        # with later runtimes; MinGW-w64 links its own where the program uses one.
        ("no secure-CRT import from msvcrt.dll",
         not any(name.endswith("_s") for name in imports.get("msvcrt.dll", ())),
         str(sorted(n for n in imports.get("msvcrt.dll", ()) if n.endswith("_s")))),
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
