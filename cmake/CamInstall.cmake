# SPDX-License-Identifier: MIT
# Install rules: a fragment of the camera's root file system, installed into a
# staging root as Buildroot and Yocto do:
#   DESTDIR=<staging root> cmake --install <build>
# gives, with the default prefix /usr and nothing else:
#   usr/sbin/devfinder                      the daemon
#   <CAM_CGI_DIR>/stillcgi                  the CGI
#   etc/init.d/<CAM_INIT_NAME>              CAM_INIT sysv (the default)
#   <CAM_SYSTEMD_UNIT_DIR>/devfinder.service  CAM_INIT systemd
#   usr/share/man/man8/devfinder.8, stillcgi.8  CAM_INSTALL_MAN
# The host tools devsearch and zozid go to usr/bin (and devsearch.1 to
# usr/share/man/man1) only with CAM_INSTALL_TOOLS.
set(CAM_INIT sysv CACHE STRING
    "Start-up files of devfinder: sysv (init script), systemd (unit), \"sysv;systemd\" or none")
set_property(CACHE CAM_INIT PROPERTY STRINGS sysv systemd "sysv;systemd" none)
set(CAM_INIT_NAME S50devfinder CACHE STRING
    "File name of the init script in <sysconfdir>/init.d (Yocto's update-rc.d: devfinder)")
set(CAM_SYSTEMD_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/system CACHE PATH
    "Where the systemd unit is installed (absolute)")
option(CAM_INSTALL_MAN "Install the man pages of the programs" ON)
option(CAM_INSTALL_WITHOUT_DESTDIR
    "Let cmake --install of a cross build write into this machine's own directories" OFF)

if(CAM_INIT STREQUAL "" OR NOT (CAM_INIT STREQUAL "none" OR CAM_INIT MATCHES "^(sysv|systemd)(;(sysv|systemd))?$"))
    message(FATAL_ERROR "CAM_INIT is sysv, systemd, \"sysv;systemd\" or none, not \"${CAM_INIT}\"")
endif()
if(NOT CAM_INIT_NAME MATCHES "^[A-Za-z0-9_][A-Za-z0-9_.+-]*$")
    message(FATAL_ERROR "CAM_INIT_NAME is a file name in init.d, not \"${CAM_INIT_NAME}\"")
endif()
if(NOT IS_ABSOLUTE "${CAM_SYSTEMD_UNIT_DIR}")
    message(FATAL_ERROR "CAM_SYSTEMD_UNIT_DIR is an absolute path, not \"${CAM_SYSTEMD_UNIT_DIR}\"")
endif()

# The init script and the CGI have absolute places on the camera, which a
# --prefix given at install time does not move, and the programs of a cross
# build are for the camera: an install without a staging root would put them
# on the build machine. Such an install stops before it writes anything: the
# guard is the first install rule (include this file before any
# add_subdirectory).
configure_file(${CMAKE_CURRENT_LIST_DIR}/CamInstallGuard.cmake.in
               ${CMAKE_BINARY_DIR}/cam_install_guard.cmake @ONLY)
install(SCRIPT ${CMAKE_BINARY_DIR}/cam_install_guard.cmake)

# cam_install_rules(): the rules for the programs; call once they are defined.
function(cam_install_rules)
    set(man ${CMAKE_INSTALL_MANDIR})
    if(TARGET devfinder)
        install(TARGETS devfinder RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
        set(CAM_DEVFINDER_PATH ${CMAKE_INSTALL_FULL_SBINDIR}/devfinder)
        if("sysv" IN_LIST CAM_INIT)
            configure_file(${CMAKE_SOURCE_DIR}/devfinder/S50devfinder.in
                           ${CMAKE_BINARY_DIR}/init.d/${CAM_INIT_NAME} @ONLY)
            install(PROGRAMS ${CMAKE_BINARY_DIR}/init.d/${CAM_INIT_NAME}
                    DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d)
        endif()
        if("systemd" IN_LIST CAM_INIT)
            configure_file(${CMAKE_SOURCE_DIR}/devfinder/devfinder.service.in
                           ${CMAKE_BINARY_DIR}/systemd/devfinder.service @ONLY)
            install(FILES ${CMAKE_BINARY_DIR}/systemd/devfinder.service
                    DESTINATION ${CAM_SYSTEMD_UNIT_DIR})
        endif()
        if(CAM_INSTALL_MAN)
            install(FILES ${CMAKE_SOURCE_DIR}/devfinder/devfinder.8 DESTINATION ${man}/man8)
        endif()
    endif()
    if(TARGET stillcgi)
        install(TARGETS stillcgi RUNTIME DESTINATION ${CAM_CGI_DIR})
        if(CAM_INSTALL_MAN)
            install(FILES ${CMAKE_SOURCE_DIR}/stillcgi/stillcgi.8 DESTINATION ${man}/man8)
        endif()
    endif()
    if(CAM_INSTALL_TOOLS)
        install(TARGETS devsearch zozid RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
        if(CAM_INSTALL_MAN)
            install(FILES ${CMAKE_SOURCE_DIR}/tools/devsearch/devsearch.1 DESTINATION ${man}/man1)
        endif()
    endif()
endfunction()
