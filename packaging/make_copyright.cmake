# cmake -DTEMPLATE=copyright.in -DFONT_LICENSE=usuzi.LICENSE -DMAINTAINER=... -DOUT=copyright
#     -P make_copyright.cmake
# Writes the machine-readable copyright file: the template with the maintainer and the full
# text of the font's licence, from its title on, as a DEP-5 license paragraph (every line
# indented by one space, empty lines written as " .").

file(READ "${FONT_LICENSE}" text)
string(FIND "${text}" "SIL OPEN FONT LICENSE Version 1.1" title)
if(title LESS 0)
    message(FATAL_ERROR "${FONT_LICENSE} does not hold the SIL Open Font License 1.1")
endif()
# From the line of dashes above the title.
string(SUBSTRING "${text}" 0 ${title} before)
string(FIND "${before}" "\n-" rule REVERSE)
math(EXPR start "${rule} + 1")
string(SUBSTRING "${text}" ${start} -1 licence)
string(STRIP "${licence}" licence)
# Semicolons would split the list below.
string(REPLACE ";" "\\;" licence "${licence}")
string(REPLACE "\n" ";" lines "${licence}")
set(VORTAN_OFL_TEXT "")
foreach(line IN LISTS lines)
    string(REGEX REPLACE "[ \t\r]+$" "" line "${line}")
    if(line STREQUAL "")
        set(line ".")
    endif()
    string(APPEND VORTAN_OFL_TEXT " ${line}\n")
endforeach()
string(REGEX REPLACE "\n$" "" VORTAN_OFL_TEXT "${VORTAN_OFL_TEXT}")
set(VORTAN_MAINTAINER "${MAINTAINER}")
configure_file("${TEMPLATE}" "${OUT}" @ONLY)
