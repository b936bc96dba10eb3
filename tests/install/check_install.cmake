# cmake -DBUILD_DIR=... -DSTAGE=... -DDESKTOP_INTEGRATION=ON|OFF -P check_install.cmake
# Installs the build into STAGE (as DESTDIR, prefix /opt/vortan) and checks what landed there.

set(prefix /opt/vortan)
set(failures "")
macro(fail message)
    string(APPEND failures "  ${message}\n")
endmacro()

if(NOT EXISTS "${BUILD_DIR}/Resources/firmware.sys")
    message(FATAL_ERROR "the build has not generated Resources/firmware.sys; nothing to check")
endif()

file(REMOVE_RECURSE "${STAGE}")
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env "DESTDIR=${STAGE}"
            ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix ${prefix}
    RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

file(GLOB_RECURSE images LIST_DIRECTORIES false "${STAGE}/*firmware*")
if(images)
    fail("a firmware image was installed: ${images}")
endif()
foreach(program vortan vortan-cli)
    if(NOT EXISTS "${STAGE}${prefix}/bin/${program}")
        fail("no ${prefix}/bin/${program}")
    endif()
endforeach()
if(NOT IS_DIRECTORY "${STAGE}${prefix}/Resources")
    fail("no ${prefix}/Resources folder")
endif()
file(GLOB resources "${STAGE}${prefix}/Resources/*")
if(resources)
    fail("${prefix}/Resources is not empty: ${resources}")
endif()
file(GLOB_RECURSE tools LIST_DIRECTORIES false "${STAGE}/*demo*" "${STAGE}/*standin*")
if(tools)
    fail("the demo or the stand-in was installed: ${tools}")
endif()

if(DESKTOP_INTEGRATION)
    foreach(program vortan vortan-cli)
        set(link "${STAGE}/usr/bin/${program}")
        if(NOT IS_SYMLINK "${link}")
            fail("/usr/bin/${program} is not a link")
        else()
            file(READ_SYMLINK "${link}" target)
            if(NOT target STREQUAL "${prefix}/bin/${program}")
                fail("/usr/bin/${program} points at ${target}")
            endif()
        endif()
    endforeach()
    foreach(file
            usr/share/applications/com.quillmar.vortan.desktop
            usr/share/metainfo/com.quillmar.vortan.metainfo.xml
            usr/share/icons/hicolor/48x48/apps/vortan.png
            usr/share/icons/hicolor/128x128/apps/vortan.png
            usr/share/icons/hicolor/256x256/apps/vortan.png
            usr/share/man/man1/vortan.1.gz
            usr/share/man/man1/vortan-cli.1.gz
            usr/share/doc/vortan/copyright
            usr/share/doc/vortan/changelog.gz)
        if(NOT EXISTS "${STAGE}/${file}")
            fail("no /${file}")
        endif()
    endforeach()
endif()

if(NOT failures STREQUAL "")
    message(FATAL_ERROR "The installed layout is wrong:\n${failures}")
endif()
message(STATUS "Installed layout as expected")
