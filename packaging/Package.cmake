# The Debian package: `cpack -G DEB` in the build folder makes tilvo_<version>_<arch>.deb of what
# `cmake --install` installs, under /usr.
#
# Its Depends are the packages of the libraries the programs link; its Recommends those of the
# libraries only the codec modules (and other optional modules) link, so that
# `apt install --no-install-recommends` gives a small core: without a module's libraries the
# module fails to load and only its formats are missing. CPack's own SHLIBDEPS runs
# dpkg-shlibdeps over every binary of the package at once and would make all of them Depends;
# DebDependencies.cmake runs it twice at packaging time instead, once per set.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tilvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Tilvo developers")
set(CPACK_PACKAGE_CONTACT "The Tilvo developers <tilvo@tilvo.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "hide parts of a picture behind a pixel mosaic")
# The extended description; CPack puts the summary above it and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Tilvo opens a picture, lets you paint over what must be hidden with a round
brush or drag a rectangle, and turns that area into square mosaic cells or
solid black. What was hidden never survives in what it saves: a JPEG's Exif
block is written anew from the tags it keeps, and every JPEG save is checked
for hidden pictures before it replaces anything.

The package holds the desktop program tilvo and tilvo-cli, which runs the
same engine on many pictures at once and reports each in JSON Lines. HEIC,
AVIF and video files open through codec modules whose libraries are
recommended, not required.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tilvo.example.org/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)

# The binaries of each set, known only once the targets are generated.
set(tilvo_core_binaries $<TARGET_FILE:tilvo-cli>)
if(TARGET tilvo)
  list(APPEND tilvo_core_binaries $<TARGET_FILE:tilvo>)
endif()
set(tilvo_optional_binaries)
get_property(tilvo_codec_modules GLOBAL PROPERTY TILVO_CODEC_MODULES)
# Other optional modules add their targets to TILVO_PACKAGE_RECOMMENDED_MODULES.
get_property(tilvo_recommended_modules GLOBAL PROPERTY TILVO_PACKAGE_RECOMMENDED_MODULES)
foreach(module IN LISTS tilvo_codec_modules tilvo_recommended_modules)
  list(APPEND tilvo_optional_binaries $<TARGET_FILE:${module}>)
endforeach()
# Packages no library link names: the Qt platform plugins (the window needs one to open, the
# offscreen one included); the font with the Japanese texts of the language file.
set(tilvo_extra_depends)
set(tilvo_extra_recommends)
if(TARGET tilvo)
  set(tilvo_extra_depends qt6-qpa-plugins)
  set(tilvo_extra_recommends fonts-ipafont-gothic)
endif()
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/DebBinaries.cmake CONTENT
"set(TILVO_DEB_CORE_BINARIES \"${tilvo_core_binaries}\")
set(TILVO_DEB_OPTIONAL_BINARIES \"${tilvo_optional_binaries}\")
set(TILVO_DEB_EXTRA_DEPENDS \"${tilvo_extra_depends}\")
set(TILVO_DEB_EXTRA_RECOMMENDS \"${tilvo_extra_recommends}\")
set(TILVO_DEB_WORK_DIR \"${CMAKE_CURRENT_BINARY_DIR}/shlibdeps\")
")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/DebDependencies.cmake.in
               ${CMAKE_CURRENT_BINARY_DIR}/DebDependencies.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/DebDependencies.cmake)

include(CPack)
