# Install components and the Debian packages.
#
# The default install (`cmake --install BUILD --prefix DIR`) is exactly the deployment tree a
# host runs from. Tools and documentation are components of their own that only an explicit
# `--component tools|doc` or the Debian package installs.

if(TARGET zq-sim OR TARGET ubxdump)
    set(_zq_tool_targets)
    foreach(t zq-sim ubxdump)
        if(TARGET ${t})
            list(APPEND _zq_tool_targets ${t})
        endif()
    endforeach()
    install(TARGETS ${_zq_tool_targets} RUNTIME DESTINATION tools COMPONENT tools EXCLUDE_FROM_ALL)
endif()
foreach(f ubxconfig demo.sh demo_host.py)
    if(EXISTS ${PROJECT_SOURCE_DIR}/tools/${f})
        install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/${f} DESTINATION tools
                COMPONENT tools EXCLUDE_FROM_ALL)
    endif()
endforeach()
foreach(f README.md docs/API.md tools/README.md)
    if(EXISTS ${PROJECT_SOURCE_DIR}/${f})
        string(REPLACE "/" "-" _zq_doc_name "${f}")
        string(REPLACE "docs-" "" _zq_doc_name "${_zq_doc_name}")
        install(FILES ${PROJECT_SOURCE_DIR}/${f} DESTINATION doc RENAME ${_zq_doc_name}
                COMPONENT doc EXCLUDE_FROM_ALL)
    endif()
endforeach()

# One package with every component, installed under /opt/zq_gps.
if(NOT ZQ_DEB_ARCH)
    execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE ZQ_DEB_ARCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zq-gps)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "zq_gps")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "u-blox GPS receiver driver for Python 3 hosts (zq_gps)")
set(CPACK_PACKAGE_DESCRIPTION
    "Python 3 extension module zq_gps, its UBX codec libs.pyubx2 and logging service, installed\n\
as a host's deployment root under /opt/zq_gps (ROOT_PATH=/opt/zq_gps), with the simulated\n\
receiver and receiver tools under /opt/zq_gps/tools.")
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/zq_gps)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified tools doc)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ZQ_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "zq_gps maintainers <zq_gps@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The modules are built for CPython 3.11's ABI; the C++ runtime comes from libstdc++6.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "python3 (>= 3.11), python3 (<< 3.12), python3-serial, libc6, libstdc++6, libgcc-s1")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
