@echo off
rem Преобразует пары файлов настроек нескольких УЧПУ в файлы .c13:
rem   convert-units.bat 16К20 1И611
rem делает из 16К20-input.cn1 и 16К20-output.cn1 файл 16К20.c13, и так далее.
rem pairset.exe берётся из папки этого пакетного файла. Код завершения pairset всегда 0,
rem поэтому успех узнаётся по сообщению; код завершения этого файла: 0 - все станки
rem преобразованы, 1 - не все, 2 - не указан ни один станок.
setlocal EnableExtensions DisableDelayedExpansion
if "%~1"=="" goto usage
set "converted=0"
set "failed="
set "log=%TEMP%\pairset-%RANDOM%.txt"

:next
if "%~1"=="" goto summary
set "unit=%~1"
shift
echo.
echo === %unit%
rem Имена станков не раскрываются по шаблону: * и ? в имени - ошибка.
echo %unit%| find "*" >nul
if not errorlevel 1 goto wildcard
echo %unit%| find "?" >nul
if not errorlevel 1 goto wildcard
"%~dp0pairset.exe" "%unit%-input.cn1" "%unit%-output.cn1" "%unit%.c13" >"%log%"
type "%log%"
rem Успех - единственное сообщение со словом PAIRSET без апострофа (все остальные называют
rem файл в апострофах) и без "<" (как в справке).
find "PAIRSET" <"%log%" >nul
if errorlevel 1 goto failure
find "'" <"%log%" >nul
if not errorlevel 1 goto failure
find "<" <"%log%" >nul
if not errorlevel 1 goto failure
set /a converted+=1 >nul
goto next

:wildcard
echo Имя станка содержит * или ?: укажите имя полностью.
:failure
set "failed=%failed% %unit%"
goto next

:summary
if exist "%log%" del "%log%"
echo.
echo Преобразовано станков: %converted%
if not defined failed exit /b 0
echo Не преобразованы:%failed%
exit /b 1

:usage
echo Формат: %~nx0 станок [станок ...]
echo Для каждого станка нужны файлы станок-input.cn1 и станок-output.cn1
echo в текущей папке; результат записывается в станок.c13.
echo Пример: %~nx0 16К20 1И611
exit /b 2
