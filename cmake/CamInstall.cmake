# Install rules: a fragment of the camera's root file system, installed into a
# staging root as Buildroot and Yocto do:
#   DESTDIR=<staging root> cmake --install <build>
# gives usr/sbin/devfinder, etc/init.d/S50devfinder and <CAM_CGI_DIR>/stillcgi
# (with the default prefix /usr), and nothing else. The host tools devsearch
# and zozid go to usr/bin only with CAM_INSTALL_TOOLS.

# The init script and the CGI have absolute places on the camera, which a
# --prefix given at install time does not move: they would land on the build
# machine. Such an install stops before it writes anything: the guard is the
# first install rule (include this file before any add_subdirectory).
configure_file(${CMAKE_CURRENT_LIST_DIR}/CamInstallGuard.cmake.in
               ${CMAKE_BINARY_DIR}/cam_install_guard.cmake @ONLY)
install(SCRIPT ${CMAKE_BINARY_DIR}/cam_install_guard.cmake)

# cam_install_rules(): the rules for the programs; call once they are defined.
function(cam_install_rules)
    if(TARGET devfinder)
        install(TARGETS devfinder RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
        set(CAM_DEVFINDER_PATH ${CMAKE_INSTALL_FULL_SBINDIR}/devfinder)
        configure_file(${CMAKE_SOURCE_DIR}/devfinder/S50devfinder.in
                       ${CMAKE_BINARY_DIR}/init.d/S50devfinder @ONLY)
        install(PROGRAMS ${CMAKE_BINARY_DIR}/init.d/S50devfinder
                DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d)
    endif()
    if(TARGET stillcgi)
        install(TARGETS stillcgi RUNTIME DESTINATION ${CAM_CGI_DIR})
    endif()
    if(CAM_INSTALL_TOOLS)
        install(TARGETS devsearch zozid RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endfunction()
