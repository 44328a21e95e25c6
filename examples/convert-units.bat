@echo off
rem Преобразует пары файлов настроек нескольких УЧПУ в файлы .c13:
rem   convert-units.bat 16К20 1И611
rem делает из 16К20-input.cn1 и 16К20-output.cn1 файл 16К20.c13, и так далее.
rem pairset.exe берётся из папки этого пакетного файла. Код завершения pairset всегда 0,
rem поэтому успех узнаётся по сообщению; код завершения этого файла: 0 - все станки
rem преобразованы, 1 - не все, 2 - не указан ни один станок.
rem
rem Имя станка - только данные: оно читается при выключенной отложенной подстановке и дальше
rem подставляется только как !unit! (после разбора строки) или, без кавычек, внутри кавычек,
rem поэтому & | < > ^ %% ! и скобки в имени ничего не запускают. Сообщения этого файла и имена станков выводятся в одной
rem кодовой странице консоли, и на экране, и в журнале, записанном через >.
setlocal EnableExtensions DisableDelayedExpansion
rem find из Windows, а не другой find, который может оказаться раньше в PATH. Путь к
rem pairset.exe запоминается здесь, при выключенной отложенной подстановке: папка с ! или ^
rem в имени дальше подставляется как !pairset! и не портится.
set "find=%SystemRoot%\System32\find.exe"
set "pairset=%~dp0pairset.exe"
set "converted=0"
set "failed=0"
rem Каждый станок запоминается: unit_N - путь к его файлам без окончаний (папка и имя), name_N -
rem имя для итогов, outcome_N - итог.
set "units=0"
rem Папка станков, названных по имени: текущая, с \ в конце, как у папки перетащенного файла.
set "here=%CD%"
if not "%here:~-1%"=="\" set "here=%here%\"

rem Своя папка для вывода pairset: md создаёт её или отказывает атомарно, так что две копии,
rem запущенные в одну секунду (с одной последовательностью %RANDOM%), берут разные имена.
set "tries=0"
:workfolder
set /a tries+=1
if %tries% gtr 100 goto noworkfolder
set "work=%TEMP%\pairset-%RANDOM%-%RANDOM%"
rem md не всегда обнуляет ERRORLEVEL при успехе: его обнуляет (call ).
(call )
md "%work%" 2>nul
if errorlevel 1 goto workfolder
set "log=%work%\pairset.txt"

rem Explorer (двойной щелчок, ярлык, файлы, брошенные на пакетный файл) запускает его как
rem cmd /c ""<путь>" <аргументы>", и окно закроется, как только файл кончится: только тогда
rem он в конце ждёт клавишу. Из консоли, из сценария, из планировщика - никогда. Строка
rem запуска пишется в файл при отложенной подстановке, поэтому & и кавычки в ней ничего не
rem запускают. Такой же строкой его запускают и планировщик, и другие программы, поэтому
rem pairset.exe спрашивается ещё, запустил ли этот cmd сам Explorer: ответ - код завершения.
set "explorer="
setlocal EnableDelayedExpansion
>"!work!\caller.txt" echo:!cmdcmdline!
endlocal
"%find%" " /c """"" <"%work%\caller.txt" >nul
if errorlevel 1 goto caller
"%pairset%" /STARTED-BY-EXPLORER <nul >nul 2>&1
if not errorlevel 1 set "explorer=1"
:caller
rem Путь без пробелов Explorer не берёт в кавычки, и cmd режет его на знаке &: начало становится
rem аргументом, а остаток - второй командой после этого файла. Такой аргумент не преобразуется,
rem а в конце этот файл завершает сам cmd (exit без /b), так что остаток не запустится.
set "ampersand="
if not defined explorer goto arguments
"%find%" "&" <"%work%\caller.txt" >nul
if not errorlevel 1 set "ampersand=1"
:arguments

rem Непустой аргумент: есть работа. Только когда "%~1" пусто, %1 может стоять вне кавычек
rem (он тогда "" или ничего), поэтому его проверка - отдельной строкой после перехода.
if not "%~1"=="" goto next
if [%1]==[] goto usage

:next
if not "%~1"=="" goto take
if [%1]==[] goto summary
:take
set "unit=%~1"
set "folder="
set "cut="
if not defined ampersand goto whole
if /i not "%~x1"==".cn1" set "cut=1"
if not exist "%~1" set "cut=1"
:whole
rem Файл, брошенный на пакетный файл или ярлык: X-input.cn1 или X-output.cn1 - это станок X
rem в папке этого файла.
if /i not "%~x1"==".cn1" goto named
set "folder=%~dp1"
set "unit=%~n1"
if /i "%unit:~-6%"=="-input" set "unit=%unit:~0,-6%"
if /i "%unit:~-7%"=="-output" set "unit=%unit:~0,-7%"
:named
shift
rem Имена станков не раскрываются по шаблону: * и ? в имени - ошибка. Проверяется сама
rem строка, а не её запись в файл: в кодовой странице западной консоли (437) каждая русская
rem буква записалась бы как ?. Сначала убираются кавычки (в именах файлов их не бывает),
rem чтобы всё остальное стояло в кавычках и & | < > ничего не запускали.
set "wild="
if not defined unit goto checked
set "probe=%unit:"=%"
if not defined probe goto checked
if not "%probe:**=%"=="%probe%" set "wild=1"
if not "%probe:?=%"=="%probe%" set "wild=1"
:checked
set "key=%here%%unit%"
if defined folder set "key=%folder%%unit%"
setlocal EnableDelayedExpansion
rem Станок, названный дважды или перетащенный обоими файлами, преобразуется и считается один
rem раз. Номер подставляется через call: wine подставил бы !unit_%%n! раньше, чем %%n.
set "repeated="
for /l %%n in (1,1,%units%) do call :compare %%n
if defined repeated goto repeated
echo:
echo:=== !unit!
set "outcome=failed"
if "!unit!"=="" goto emptyname
if defined cut goto cutpath
if defined wild goto wildcard
if defined folder pushd "!folder!"
"!pairset!" "!unit!-input.cn1" "!unit!-output.cn1" "!unit!.c13" >"!log!"
rem Успех - единственное сообщение со словом PAIRSET без апострофа (все остальные называют
rem файл в апострофах) и без "<" (как в справке).
"%find%" "PAIRSET" <"!log!" >nul
if errorlevel 1 goto reason
"%find%" "'" <"!log!" >nul
if not errorlevel 1 goto reason
"%find%" "<" <"!log!" >nul
if not errorlevel 1 goto reason
echo:Преобразован: !unit!.c13
set "outcome=converted"
goto verdict

:wildcard
echo:Имя станка содержит * или ?: укажите имя полностью.
goto verdict

:emptyname
echo:Пустое имя станка.
goto verdict

:cutpath
echo:Путь к перетащенному файлу разрезан на знаке ^&: переименуйте папку без ^& или
echo:запустите этот пакетный файл из командной строки, взяв путь в кавычки.
goto verdict

rem Причина - своими словами: сообщение pairset называет файлы в кодовой странице ANSI, и на
rem русской консоли (866) такие имена читались бы неверно.
:reason
if not exist "!unit!-input.cn1" goto noinput
if not exist "!unit!-output.cn1" goto nooutput
"%find%" ".cn1." <"!log!" >nul
if not errorlevel 1 goto notcn1
echo:Не удалось прочитать исходные файлы или записать !unit!.c13. Запустите для этого
echo:станка pairset.exe отдельно, чтобы увидеть его сообщение.
goto verdict
:noinput
echo:Нет файла !unit!-input.cn1 в папке !cd!
goto verdict
:nooutput
echo:Нет файла !unit!-output.cn1 в папке !cd!
goto verdict
:notcn1
echo:Файл !unit!-input.cn1 или !unit!-output.cn1 не является файлом формата .cn1.

:verdict
if defined folder popd
endlocal & set "outcome=%outcome%"
if "%outcome%"=="converted" set /a converted+=1
if not "%outcome%"=="converted" set /a failed+=1
set /a units+=1
set "unit_%units%=%key%"
set "name_%units%=%unit%"
if not defined unit set "name_%units%=(пустое имя)"
set "outcome_%units%=%outcome%"
goto next

:repeated
endlocal
goto next

rem Отмечает повтор, если станок номер %1 - этот же.
:compare
if /i "!unit_%1!"=="!key!" set "repeated=1"
exit /b

rem Выводит имя станка номер %1, если он не преобразован.
:listfailed
if not "!outcome_%1!"=="converted" echo:  !name_%1!
exit /b

:summary
echo:
echo:Преобразовано станков: %converted%
rem Имена - из переменных, как строки === выше, а не из файла: западная консоль (437) записала
rem бы в файл каждую русскую букву как ?.
if %failed%==0 goto listed
echo:Не преобразованы:
setlocal EnableDelayedExpansion
for /l %%n in (1,1,%units%) do call :listfailed %%n
endlocal
:listed
rd /s /q "%work%"
set "status=0"
if not %failed%==0 set "status=1"
rem Запущенный Explorer, cmd кончается здесь же: команда, отрезанная от пути на знаке &, не
rem запустится.
if defined explorer pause
if defined explorer exit %status%
exit /b %status%

:noworkfolder
echo:Не могу создать папку в %TEMP%
exit /b 1

:usage
echo:Формат: %~nx0 станок [станок ...]
echo:Для каждого станка нужны файлы станок-input.cn1 и станок-output.cn1
echo:в текущей папке; результат записывается в станок.c13. Можно и перетащить
echo:мышью файл станок-input.cn1 на этот пакетный файл.
echo:Пример: %~nx0 16К20 1И611
rd /s /q "%work%"
if defined explorer pause
if defined explorer exit 2
exit /b 2
