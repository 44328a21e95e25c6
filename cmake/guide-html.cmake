# Makes the Russian guide an HTML page from its Markdown source, tables included, with its
# character set declared, so that a browser opens it readably on any Windows. The guide's own
# anchors (<a id>) pass through (--unsafe: the source is ours). A command stays one line, to be
# copied as it stands: on a narrow screen its box scrolls sideways instead of breaking it at a
# hyphen; running text inside a code span may still wrap.
#   cmake -DCMARK_GFM=... -DSOURCE=README.ru.md -DOUTPUT=README.ru.html -P guide-html.cmake
execute_process(
  COMMAND ${CMARK_GFM} --unsafe --extension table --to html ${SOURCE}
  OUTPUT_VARIABLE body
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmark-gfm could not convert ${SOURCE}")
endif()
string(REGEX MATCH "<h1>([^<]*)</h1>" heading "${body}")
set(page "<!DOCTYPE html>
<html lang=\"ru\">
<head>
<meta charset=\"utf-8\">
<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">
<title>${CMAKE_MATCH_1}</title>
<style>
body { font-family: Segoe UI, Tahoma, Arial, sans-serif; max-width: 60em; margin: 1em auto; padding: 0 1em; }
table { border-collapse: collapse; }
th, td { border: 1px solid #999; padding: 0.3em 0.5em; vertical-align: top; text-align: left; }
pre { background: #f4f4f4; padding: 0.5em; white-space: pre; overflow-x: auto; }
p code, td code, li code { overflow-wrap: anywhere; }
</style>
</head>
<body>
${body}</body>
</html>
")
# CR LF line ends, as every text file that ships for Windows has them.
string(REPLACE "\r\n" "\n" page "${page}")
string(REPLACE "\n" "\r\n" page "${page}")
file(WRITE ${OUTPUT} "${page}")
