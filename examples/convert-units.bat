@echo off
rem Converts the settings pair of each CNC unit named on the command line:
rem   convert-units.bat lathe mill
rem turns lathe-input.cn1 and lathe-output.cn1 into lathe.c13, and so on.
rem pairset.exe is taken from the folder of this file.
for %%U in (%*) do (
  echo %%U
  "%~dp0pairset.exe" %%U-input.cn1 %%U-output.cn1 %%U.c13
)
