# `cmake --install`: the kalmix tool in bin/, its FFmpeg side, Kalmix.PRM and
# the stand-in library the module imports from in lib/kalmix/, the frei0r
# plug-in in lib/frei0r-1/, and a man page made from `kalmix --help`.
# `cpack` (in the build directory) makes the Debian package of the same files.

install(TARGETS kalmix_module kalmix_standin
  LIBRARY DESTINATION ${KALMIX_INSTALL_PKGLIBDIR})
# The module finds the stand-in library beside itself.
set_target_properties(kalmix_module PROPERTIES INSTALL_RPATH "$ORIGIN")
# The tile worker, one module instance per tile, for kalmix and the plug-in.
install(TARGETS kalmix_tile_worker RUNTIME DESTINATION ${KALMIX_INSTALL_PKGLIBDIR})

if(TARGET kalmix)
  install(TARGETS kalmix RUNTIME DESTINATION ${KALMIX_INSTALL_BINDIR})
  # Its FFmpeg side, loaded when a run reads or writes a file through FFmpeg.
  install(TARGETS kalmix_media LIBRARY DESTINATION ${KALMIX_INSTALL_PKGLIBDIR})
  find_program(HELP2MAN help2man)
  if(HELP2MAN)
    add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/kalmix.1
      COMMAND ${HELP2MAN} --no-info --section=1
              --include=${PROJECT_SOURCE_DIR}/tools/kalmix/kalmix.h2m
              "--name=temporal noise filter for video, with the Kalmix module"
              --output=${CMAKE_CURRENT_BINARY_DIR}/kalmix.1 $<TARGET_FILE:kalmix>
      COMMAND ${CMAKE_COMMAND} -DPAGE=${CMAKE_CURRENT_BINARY_DIR}/kalmix.1
              -P ${PROJECT_SOURCE_DIR}/cmake/man_page_synopsis.cmake
      DEPENDS kalmix ${PROJECT_SOURCE_DIR}/tools/kalmix/kalmix.h2m
              ${PROJECT_SOURCE_DIR}/cmake/man_page_synopsis.cmake
      COMMENT "Writing the man page kalmix.1 from kalmix --help" VERBATIM)
    add_custom_target(kalmix_man ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/kalmix.1)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kalmix.1 DESTINATION ${KALMIX_INSTALL_MANDIR})
  else()
    message(STATUS "help2man not found: no man page (Debian package help2man)")
  endif()
endif()

if(TARGET kalmix_frei0r)
  install(TARGETS kalmix_frei0r LIBRARY DESTINATION ${KALMIX_INSTALL_FREI0RDIR})
endif()

# The Debian package: kalmix_VERSION_ARCH.deb, its library dependencies found
# by dpkg-shlibdeps; `apt-get install ./kalmix_*.deb` installs it with them.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kalmix)
set(CPACK_PACKAGE_VENDOR Kalmix)
set(CPACK_PACKAGE_CONTACT "Kalmix developers <kalmix@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "temporal noise filter for video")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "temporal noise filter for video\n The Kalmix module freezes the noise in the still parts of a picture.\n This package holds the kalmix command-line tool, which filters video\n files and raw frames, and a frei0r plug-in for the ffmpeg program,\n MLT (Kdenlive, Shotcut) and GStreamer.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# The stand-in library is the package's own.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/platform)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "ffmpeg, melt, gstreamer1.0-plugins-bad")
include(CPack)
