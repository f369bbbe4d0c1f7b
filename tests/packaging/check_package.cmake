# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package and a plain `cmake --install` from an already built tree, unpacks
# the package without root (dpkg-deb -x) and checks that both hold the programs with their
# manual pages, the desktop entry, the AppStream metadata, the icons and the copyright and
# changelog, that the package asks for the Qt runtime it needs, and that Debian's own checker
# (lintian) finds nothing to complain about.
#
#   cmake -DBUILD_DIR=<build tree> -DSCRATCH=<folder to use and remove>
#         -DPROGRAMS=a,b -DICON_SIZES=16,32 -P check_package.cmake

foreach(var BUILD_DIR SCRATCH PROGRAMS ICON_SIZES)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "check_package.cmake needs -D${var}=...")
    endif()
endforeach()
string(REPLACE "," ";" PROGRAMS "${PROGRAMS}")
string(REPLACE "," ";" ICON_SIZES "${ICON_SIZES}")

set(failures "")
macro(fail text)
    list(APPEND failures "${text}")
endmacro()

# Runs a command; a failure is recorded and stops the checks that depend on its output.
function(run_step out_var)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err
                    TIMEOUT 120)
    if(NOT result EQUAL 0)
        string(REPLACE ";" " " command "${ARGN}")
        list(APPEND failures "${command} failed (${result}): ${out}${err}")
        set(failures "${failures}" PARENT_SCOPE)
        set(${out_var} "" PARENT_SCOPE)
        return()
    endif()
    set(${out_var} "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${SCRATCH}")
file(MAKE_DIRECTORY "${SCRATCH}")

set(app_id org.tarnwick.Tarnwick)
set(expected_files
    share/applications/${app_id}.desktop
    share/metainfo/${app_id}.metainfo.xml
    share/doc/tarnwick/copyright
    share/doc/tarnwick/changelog.gz
    share/icons/hicolor/scalable/apps/tarnwick.svg)
foreach(program IN LISTS PROGRAMS)
    list(APPEND expected_files bin/${program} share/man/man1/${program}.1.gz)
endforeach()
foreach(size IN LISTS ICON_SIZES)
    list(APPEND expected_files share/icons/hicolor/${size}x${size}/apps/tarnwick.png)
endforeach()
list(SORT expected_files)

# Every file below root, relative to it.
function(installed_files root out_var)
    file(GLOB_RECURSE found LIST_DIRECTORIES false RELATIVE "${root}" "${root}/*")
    list(SORT found)
    set(${out_var} "${found}" PARENT_SCOPE)
endfunction()

function(check_tree root label)
    installed_files("${root}" found)
    if(NOT found STREQUAL expected_files)
        list(APPEND failures "${label} holds [${found}], expected [${expected_files}]")
    endif()
    foreach(program IN LISTS PROGRAMS)
        execute_process(COMMAND test -x "${root}/bin/${program}" RESULT_VARIABLE not_executable)
        if(not_executable)
            list(APPEND failures "${label}: bin/${program} is missing or not executable")
        endif()
    endforeach()
    set(failures "${failures}" PARENT_SCOPE)
endfunction()

# 1. A plain install to a prefix.
run_step(ignored "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${SCRATCH}/prefix")
check_tree("${SCRATCH}/prefix" "cmake --install")

# 2. The Debian package, unpacked into a scratch root.
run_step(ignored "${CMAKE_CPACK_COMMAND}" -G DEB --config "${BUILD_DIR}/CPackConfig.cmake"
         -B "${SCRATCH}/package")
file(GLOB packages "${SCRATCH}/package/*.deb")
list(LENGTH packages package_count)
if(NOT package_count EQUAL 1)
    fail("cpack made ${package_count} .deb files, expected one")
else()
    run_step(ignored dpkg-deb -x "${packages}" "${SCRATCH}/root")
    check_tree("${SCRATCH}/root/usr" "the package")
    installed_files("${SCRATCH}/root" everything)
    foreach(path IN LISTS everything)
        if(NOT path MATCHES "^usr/")
            fail("the package installs ${path} outside /usr")
        endif()
    endforeach()

    run_step(depends dpkg-deb --field "${packages}" Depends)
    foreach(runtime libqt6core6 libqt6gui6 libqt6widgets6 qt6-qpa-plugins)
        if(NOT depends MATCHES "(^|[ ,])${runtime}([ ,(]|$)")
            fail("the package does not depend on ${runtime}: ${depends}")
        endif()
    endforeach()

    set(entry "${SCRATCH}/root/usr/share/applications/${app_id}.desktop")
    if(EXISTS "${entry}")
        file(STRINGS "${entry}" exec_lines REGEX "^Exec=")
        if(NOT exec_lines STREQUAL "Exec=tarnwick")
            fail("the desktop entry starts [${exec_lines}], not the window program")
        endif()
        find_program(DESKTOP_FILE_VALIDATE desktop-file-validate)
        if(DESKTOP_FILE_VALIDATE)
            run_step(ignored "${DESKTOP_FILE_VALIDATE}" "${entry}")
        else()
            message(WARNING "desktop-file-validate is not installed; the entry's syntax is unchecked")
        endif()
    endif()

    set(metainfo "${SCRATCH}/root/usr/share/metainfo/${app_id}.metainfo.xml")
    find_program(APPSTREAMCLI appstreamcli)
    if(NOT APPSTREAMCLI)
        fail("appstreamcli is not installed (scripts/setup.sh installs it)")
    elseif(EXISTS "${metainfo}")
        run_step(ignored "${APPSTREAMCLI}" validate --no-net "${metainfo}")
    endif()

    # Every error or warning of lintian's default level fails the check.
    find_program(LINTIAN lintian)
    if(NOT LINTIAN)
        fail("lintian is not installed (scripts/setup.sh installs it)")
    else()
        execute_process(COMMAND "${LINTIAN}" --fail-on error,warning "${packages}"
                        RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err
                        TIMEOUT 240)
        string(REGEX MATCHALL "(^|\n)[EW]: [^\n]*" complaints "${out}")
        if(NOT result EQUAL 0 OR complaints)
            fail("lintian (${result}) on the package:\n${out}${err}")
        endif()
    endif()
endif()

file(REMOVE_RECURSE "${SCRATCH}")

list(FILTER failures EXCLUDE REGEX "^$")
if(failures)
    list(JOIN failures "\n  " report)
    message(FATAL_ERROR "Packaging checks failed:\n  ${report}")
endif()
message(STATUS "Package and install tree hold: ${expected_files}")
