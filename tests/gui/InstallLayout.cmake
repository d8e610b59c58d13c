# Installs the build tree into a fresh prefix and checks the layout: nothing but the programs in
# bin/, the language file under share/tilvo/Lang/. Run by ctest with -DBUILD_DIR= and -DPREFIX=.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc})")
endif()
file(GLOB programs RELATIVE "${PREFIX}/bin" "${PREFIX}/bin/*")
list(SORT programs)
if(NOT programs STREQUAL "tilvo;tilvo-cli")
  message(FATAL_ERROR "bin/ should hold tilvo and tilvo-cli only, it holds: ${programs}")
endif()
foreach(f share/tilvo/Lang/Japanese.ini share/applications/tilvo.desktop
          share/icons/hicolor/scalable/apps/tilvo.svg)
  if(NOT EXISTS "${PREFIX}/${f}")
    message(FATAL_ERROR "${f} is missing from the installed tree")
  endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
