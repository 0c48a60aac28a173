# Install components and the Debian package.
#
# The default install (`cmake --install BUILD --prefix DIR`) is exactly the deployment tree a
# host runs from. Tools and documentation are components of their own that only an explicit
# `--component tools|doc` or the Debian package installs. The component `debian` holds what
# only the package installs, at absolute places outside the tree: the commands on PATH, their
# manual pages, the udev rule, copyright, changelog and lintian overrides. It is never installed
# by hand (it would write to /usr); CPack stages it.
#
# The manual pages are made at build time by help2man from each command's own --help, run
# under its name on PATH, so that a page cannot drift from its tool (ZQ_MAN_PAGES).

set(ZQ_DEB_PREFIX /opt/zq_gps)
set(ZQ_DEB_MAINTAINER "zq_gps maintainers <zq-gps@zq-gps.org>")

# Every executable target defined under DIR and its subdirectories.
function(zq_executables_under dir out)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    set(found)
    foreach(t ${targets})
        get_target_property(type ${t} TYPE)
        if(type STREQUAL "EXECUTABLE")
            list(APPEND found ${t})
        endif()
    endforeach()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(sub ${subdirs})
        zq_executables_under(${sub} sub_found)
        list(APPEND found ${sub_found})
    endforeach()
    set(${out} ${found} PARENT_SCOPE)
endfunction()

# The tools: every program built under tools/, and the scripts beside them. Each is on PATH
# under a name starting with zq-.
set(_zq_tool_targets)
if(EXISTS ${PROJECT_SOURCE_DIR}/tools/CMakeLists.txt)
    zq_executables_under(${PROJECT_SOURCE_DIR}/tools _zq_tool_targets)
endif()
if(_zq_tool_targets)
    install(TARGETS ${_zq_tool_targets} RUNTIME DESTINATION tools COMPONENT tools EXCLUDE_FROM_ALL)
endif()
set(_zq_tool_scripts)
foreach(f ubxconfig zq-hub demo.sh demo_host.py)
    if(EXISTS ${PROJECT_SOURCE_DIR}/tools/${f})
        install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/${f} DESTINATION tools
                COMPONENT tools EXCLUDE_FROM_ALL)
        list(APPEND _zq_tool_scripts ${f})
    endif()
endforeach()
# What the Python tools import from beside them (zq_tool.py, packages zq_*/), and the version
# they report.
file(GLOB _zq_tool_modules CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}/tools
     ${PROJECT_SOURCE_DIR}/tools/zq_*.py ${PROJECT_SOURCE_DIR}/tools/zq_*/*.py)
foreach(f ${_zq_tool_modules})
    get_filename_component(_zq_dir ${f} DIRECTORY)
    install(FILES ${PROJECT_SOURCE_DIR}/tools/${f} DESTINATION tools/${_zq_dir}
            COMPONENT tools EXCLUDE_FROM_ALL)
endforeach()
if(EXISTS ${CMAKE_BINARY_DIR}/tools/VERSION)
    install(FILES ${CMAKE_BINARY_DIR}/tools/VERSION DESTINATION tools
            COMPONENT tools EXCLUDE_FROM_ALL)
endif()
foreach(f README.md docs/API.md tools/README.md)
    if(EXISTS ${PROJECT_SOURCE_DIR}/${f})
        string(REPLACE "/" "-" _zq_doc_name "${f}")
        string(REPLACE "docs-" "" _zq_doc_name "${_zq_doc_name}")
        install(FILES ${PROJECT_SOURCE_DIR}/${f} DESTINATION doc RENAME ${_zq_doc_name}
                COMPONENT doc EXCLUDE_FROM_ALL)
    endif()
endforeach()

# --- The Debian release this build is for -------------------------------------------------
# The build machine's (or chroot's) release, from os-release: VERSION_ID 12 or 13 and its
# codename. The package version carries it (1.4.0-1~deb12), so that the packages of two
# releases differ and the newer release's sorts higher.
if(NOT DEFINED ZQ_DEB_RELEASE)
    set(_zq_release "")
    set(_zq_codename "unstable")
    if(EXISTS /etc/os-release)
        file(STRINGS /etc/os-release _zq_os_release)
        foreach(line ${_zq_os_release})
            if(line MATCHES "^VERSION_ID=\"?([0-9]+)")
                set(_zq_release ${CMAKE_MATCH_1})
            elseif(line MATCHES "^VERSION_CODENAME=\"?([a-z]+)")
                set(_zq_codename ${CMAKE_MATCH_1})
            endif()
        endforeach()
    endif()
    set(ZQ_DEB_RELEASE "${_zq_release}" CACHE STRING "Debian release number of the package (12, 13)")
    set(ZQ_DEB_CODENAME "${_zq_codename}" CACHE STRING "Debian codename of the package's release")
endif()
set(ZQ_DEB_REVISION 1 CACHE STRING "Debian revision of the package")
if(ZQ_DEB_RELEASE)
    set(ZQ_DEB_FULL_REVISION "${ZQ_DEB_REVISION}~deb${ZQ_DEB_RELEASE}")
else()
    set(ZQ_DEB_FULL_REVISION "${ZQ_DEB_REVISION}")
endif()
set(ZQ_DEB_VERSION "${PROJECT_VERSION}-${ZQ_DEB_FULL_REVISION}")
# Debian 12 keeps its udev rules in /lib, Debian 13 in /usr/lib.
if(ZQ_DEB_RELEASE AND ZQ_DEB_RELEASE LESS 13)
    set(ZQ_UDEV_RULES_DIR /lib/udev/rules.d CACHE PATH "udev rules directory of the release")
    set(ZQ_SYSTEMD_UNIT_DIR /lib/systemd/system CACHE PATH "systemd units directory of the release")
else()
    set(ZQ_UDEV_RULES_DIR /usr/lib/udev/rules.d CACHE PATH "udev rules directory of the release")
    set(ZQ_SYSTEMD_UNIT_DIR /usr/lib/systemd/system CACHE PATH "systemd units directory of the release")
endif()

# --- What only the package installs (component debian) ------------------------------------
set(_zq_deb_stage ${CMAKE_BINARY_DIR}/debian)
file(MAKE_DIRECTORY ${_zq_deb_stage}/bin)
set(ZQ_PATH_COMMANDS)
set(ZQ_PATH_PROGRAMS)  # per command: what runs it in this build (for its manual page)
set(ZQ_PATH_SOURCES)   # per command: what its --help is made of, ; separated by |
# Programs: /usr/bin/zq-NAME -> /opt/zq_gps/tools/NAME (NAME itself when it starts with zq-).
# The tools find the deployment root from their own real path and call themselves by the
# name they were called by.
function(zq_path_link name file program sources)
    if(name MATCHES "^zq-")
        set(cmd ${name})
    else()
        set(cmd zq-${name})
    endif()
    file(CREATE_LINK ${ZQ_DEB_PREFIX}/tools/${file} ${_zq_deb_stage}/bin/${cmd} SYMBOLIC)
    install(FILES ${_zq_deb_stage}/bin/${cmd} DESTINATION /usr/bin COMPONENT debian EXCLUDE_FROM_ALL)
    set(ZQ_PATH_COMMANDS ${ZQ_PATH_COMMANDS} ${cmd} PARENT_SCOPE)
    set(ZQ_PATH_PROGRAMS ${ZQ_PATH_PROGRAMS} ${program} PARENT_SCOPE)
    string(REPLACE ";" "|" sources "${sources}")
    set(ZQ_PATH_SOURCES ${ZQ_PATH_SOURCES} "${sources}" PARENT_SCOPE)
endfunction()
foreach(t ${_zq_tool_targets})
    get_target_property(_zq_name ${t} OUTPUT_NAME)
    if(NOT _zq_name)
        set(_zq_name ${t})
    endif()
    zq_path_link(${_zq_name} ${_zq_name} $<TARGET_FILE:${t}> ${t})
endforeach()
list(TRANSFORM _zq_tool_modules PREPEND ${PROJECT_SOURCE_DIR}/tools/ OUTPUT_VARIABLE _zq_tool_module_paths)
foreach(f ubxconfig zq-hub demo.sh)
    if(f IN_LIST _zq_tool_scripts)
        string(REGEX REPLACE "\\.sh$" "" _zq_name ${f})
        zq_path_link(${_zq_name} ${f} ${PROJECT_SOURCE_DIR}/tools/${f}
                     "${PROJECT_SOURCE_DIR}/tools/${f};${_zq_tool_module_paths}")
    endif()
endforeach()

find_program(ZQ_GZIP gzip)
set(_zq_deb_generated)

# --- Manual pages, one per command on PATH (lintian reports a command without one) --------
# help2man runs each command under its PATH name (a link in BUILD/man/bin) for its --help; the
# NAME line and SEE ALSO come from packaging/man/CMD.h2m, the version from project(), the date
# from the changelog's newest entry. A cross build cannot run its tools: it takes the pages a
# native build of the same sources made (ZQ_MAN_FROM, its BUILD/man; packaging/deb.sh gives
# it). The demo build needs none of this: without help2man there are no pages (AUTO).
set(ZQ_MAN_PAGES AUTO CACHE STRING "Manual pages from the tools' --help: AUTO (when help2man is installed), ON (required), OFF")
set(ZQ_MAN_FROM "" CACHE PATH "A native build's man/ directory, whose pages a cross build takes")
find_program(ZQ_HELP2MAN help2man)
set(_zq_man_dir ${CMAKE_BINARY_DIR}/man)
set(_zq_man_how "")
if(ZQ_MAN_PAGES STREQUAL "OFF")
elseif(CMAKE_CROSSCOMPILING)
    if(ZQ_MAN_FROM)
        set(_zq_man_how copy)
    elseif(ZQ_MAN_PAGES STREQUAL "ON")
        message(FATAL_ERROR "a cross build cannot run its tools for their manual pages: set "
                            "ZQ_MAN_FROM to the man/ directory of a native build")
    endif()
elseif(ZQ_HELP2MAN)
    set(_zq_man_how help2man)
elseif(ZQ_MAN_PAGES STREQUAL "ON")
    message(FATAL_ERROR "help2man is not installed: the manual pages are made with it")
endif()
if(NOT _zq_man_how)
    message(STATUS "zq_gps: no manual pages (help2man not installed, or ZQ_MAN_PAGES=OFF)")
endif()
# The changelog's date (" -- NAME <MAIL>  Wed, 09 Dec 2026 02:00:00 +0000") is the pages'.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog _zq_trailer
     REGEX "^ -- .*>  [A-Z][a-z][a-z], " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- .*>  " "" _zq_changelog_date "${_zq_trailer}")
execute_process(COMMAND date -u -d "${_zq_changelog_date}" +%s OUTPUT_VARIABLE _zq_man_epoch
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
set(_zq_man_pages)
foreach(cmd program sources IN ZIP_LISTS ZQ_PATH_COMMANDS ZQ_PATH_PROGRAMS ZQ_PATH_SOURCES)
    set(_zq_page ${_zq_man_dir}/${cmd}.1)
    set(_zq_h2m ${PROJECT_SOURCE_DIR}/packaging/man/${cmd}.h2m)
    string(REPLACE "|" ";" sources "${sources}")
    if(_zq_man_how STREQUAL "help2man")
        add_custom_command(OUTPUT ${_zq_page}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${_zq_man_dir}/bin
            COMMAND ${CMAKE_COMMAND} -E create_symlink ${program} ${_zq_man_dir}/bin/${cmd}
            # Only this build: no root, port or terminal width of the environment the build runs in.
            COMMAND ${CMAKE_COMMAND} -E env --unset=ZQ_ROOT --unset=ROOT --unset=ZQ_PORT
                    ZQ_BUILD=${CMAKE_BINARY_DIR} COLUMNS=80 LC_ALL=C.UTF-8
                    SOURCE_DATE_EPOCH=${_zq_man_epoch}
                    ${ZQ_HELP2MAN} --no-info --section=1 --include=${_zq_h2m}
                    "--version-string=${cmd} (zq_gps) ${PROJECT_VERSION}"
                    --output=${_zq_page} ${_zq_man_dir}/bin/${cmd}
            DEPENDS ${sources} ${_zq_h2m} ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
            COMMENT "Manual page ${cmd}(1) from ${cmd} --help" VERBATIM)
    elseif(_zq_man_how STREQUAL "copy")
        add_custom_command(OUTPUT ${_zq_page}
            COMMAND ${CMAKE_COMMAND} -E copy ${ZQ_MAN_FROM}/${cmd}.1 ${_zq_page}
            DEPENDS ${ZQ_MAN_FROM}/${cmd}.1 VERBATIM)
    else()
        continue()
    endif()
    list(APPEND _zq_man_pages ${_zq_page})
    if(ZQ_GZIP)
        add_custom_command(OUTPUT ${_zq_deb_stage}/man/${cmd}.1.gz
            COMMAND ${CMAKE_COMMAND} -E make_directory ${_zq_deb_stage}/man
            COMMAND ${ZQ_GZIP} -9nc ${_zq_page} > ${_zq_deb_stage}/man/${cmd}.1.gz
            DEPENDS ${_zq_page} VERBATIM)
        list(APPEND _zq_deb_generated ${_zq_deb_stage}/man/${cmd}.1.gz)
        install(FILES ${_zq_deb_stage}/man/${cmd}.1.gz DESTINATION /usr/share/man/man1
                COMPONENT debian EXCLUDE_FROM_ALL)
    endif()
endforeach()
add_custom_target(zq_man_pages DEPENDS ${_zq_man_pages})

# --- Bash completion for the commands on PATH ----------------------------------------------
foreach(cmd ${ZQ_PATH_COMMANDS})
    if(EXISTS ${PROJECT_SOURCE_DIR}/packaging/completion/${cmd})
        install(FILES ${PROJECT_SOURCE_DIR}/packaging/completion/${cmd}
                DESTINATION /usr/share/bash-completion/completions COMPONENT debian EXCLUDE_FROM_ALL)
    endif()
endforeach()

# The changelog's newest entry is this version; the package's copy names the release.
file(READ ${PROJECT_SOURCE_DIR}/packaging/debian/changelog _zq_changelog)
if(NOT _zq_changelog MATCHES "^zq-gps \\(${PROJECT_VERSION}-${ZQ_DEB_REVISION}\\) unstable[;]")
    string(REGEX MATCH "^[^\n]*" _zq_changelog_top "${_zq_changelog}")
    message(FATAL_ERROR "packaging/debian/changelog: the newest entry is not "
                        "${PROJECT_VERSION}-${ZQ_DEB_REVISION} (it reads: ${_zq_changelog_top})")
endif()
string(REGEX REPLACE "^zq-gps \\([^)]*\\) unstable;"
       "zq-gps (${ZQ_DEB_VERSION}) ${ZQ_DEB_CODENAME};" _zq_changelog "${_zq_changelog}")
file(WRITE ${_zq_deb_stage}/changelog.Debian "${_zq_changelog}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
if(ZQ_GZIP)
    add_custom_command(OUTPUT ${_zq_deb_stage}/changelog.Debian.gz
        COMMAND ${ZQ_GZIP} -9nc ${_zq_deb_stage}/changelog.Debian > ${_zq_deb_stage}/changelog.Debian.gz
        DEPENDS ${_zq_deb_stage}/changelog.Debian VERBATIM)
    list(APPEND _zq_deb_generated ${_zq_deb_stage}/changelog.Debian.gz)
    install(FILES ${_zq_deb_stage}/changelog.Debian.gz DESTINATION /usr/share/doc/zq-gps
            COMPONENT debian EXCLUDE_FROM_ALL)
endif()
add_custom_target(zq_deb_files ALL DEPENDS ${_zq_deb_generated})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright DESTINATION /usr/share/doc/zq-gps
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides
        DESTINATION /usr/share/lintian/overrides RENAME zq-gps COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/70-zq-gps.rules DESTINATION ${ZQ_UDEV_RULES_DIR}
        COMPONENT debian EXCLUDE_FROM_ALL)
# zq-hub as a service: one instance per receiver (zq-hub@ttyACM0), not enabled by the package;
# the udev rule starts one at plug once the administrator has asked for it (README).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/zq-hub@.service
        DESTINATION ${ZQ_SYSTEMD_UNIT_DIR} COMPONENT debian EXCLUDE_FROM_ALL)

# --- The package: every component, the tree under /opt/zq_gps -----------------------------
if(NOT ZQ_DEB_ARCH)
    execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE ZQ_DEB_ARCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zq-gps)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "zq_gps")
set(CPACK_PACKAGE_CONTACT "${ZQ_DEB_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "u-blox GPS receiver driver for Python 3 hosts (zq_gps)")
set(CPACK_PACKAGE_DESCRIPTION
    "Python 3 extension module zq_gps that drives a u-blox GPS receiver on USB,\n\
with its UBX codec libs.pyubx2 and its logging service. Installed as a\n\
host's deployment root under /opt/zq_gps (ROOT_PATH=/opt/zq_gps), with the\n\
simulated receiver and the receiver tools on PATH as zq-sim, zq-ubxdump,\n\
zq-ubxconfig, zq-hub (gpsd protocol, time and corrections services) and\n\
zq-demo, a systemd unit for zq-hub (not enabled), and a udev rule that\n\
names receivers /dev/zq-gps0 and /dev/zq-gps/<serial>.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${ZQ_DEB_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified tools doc debian)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ZQ_DEB_FULL_REVISION})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ZQ_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZQ_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The modules are built for one CPython ABI (3.11 on Debian 12, 3.13 on Debian 13); the C and
# C++ runtimes' versions come from dpkg-shlibdeps on the built objects.
math(EXPR _zq_py_next "${Python3_VERSION_MINOR} + 1")
set(ZQ_DEB_PYTHON_DEPENDS
    "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}~), python3 (<< ${Python3_VERSION_MAJOR}.${_zq_py_next})")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${ZQ_DEB_PYTHON_DEPENDS}, python3-serial")
find_program(ZQ_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZQ_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CPACK_DEBIAN_PACKAGE_DEPENDS}, libc6, libstdc++6, libgcc-s1")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
