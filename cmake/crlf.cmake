# Copies a text file with CR LF line ends, as Notepad before Windows 10 1809 needs them, and
# with the project's version filled in where the text names it.
#   cmake -DSOURCE=... -DOUTPUT=... -DPROJECT_VERSION=... -P crlf.cmake
# Without the policies of a version, a script would expand the @VARIABLE@ it searches for, and
# the version would never be filled in.
cmake_minimum_required(VERSION 3.20)
file(READ ${SOURCE} text)
string(REPLACE "@PROJECT_VERSION@" "${PROJECT_VERSION}" text "${text}")
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
