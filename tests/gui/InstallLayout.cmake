# Installs the build tree into a fresh prefix and checks the layout: nothing but the programs in
# bin/, the codec modules under lib/tilvo/, the language file under share/tilvo/Lang/; the
# installed tilvo-cli finds its HEIF module there. Run by ctest with -DBUILD_DIR=, -DPREFIX= and
# -DSOURCE_DIR=.
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
file(GLOB_RECURSE modules RELATIVE "${PREFIX}" "${PREFIX}/*.so")
if(NOT modules MATCHES "(^|;)lib[^;]*/tilvo/tilvo_heif\\.so(;|$)")
  message(FATAL_ERROR "lib/tilvo/tilvo_heif.so is missing from the installed tree: ${modules}")
endif()
execute_process(COMMAND "${PREFIX}/bin/tilvo-cli" "${SOURCE_DIR}/tests/data/read/heic/rotated.heic"
                        "${PREFIX}/rotated.png"
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT EXISTS "${PREFIX}/rotated.png")
  message(FATAL_ERROR "the installed tilvo-cli cannot open a HEIF file (${rc}): ${err}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
