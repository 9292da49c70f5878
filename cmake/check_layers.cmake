# Fails when a source file includes a header of a layer above its own.
# A file may include its own layer and those below; the tests of a layer
# are held to the same rule.
#   cmake -DSOURCE_DIR=<repo> -P check_layers.cmake
set(layer_of_platform 0)
set(layer_of_Common 1)
set(layer_of_dbf 2)
# The thorough recovery's steps, below both methods that call them.
set(layer_of_thorough 3)
set(layer_of_best_case 4)
set(layer_of_worst_case 4)
set(layer_of_kestdll 5)
# The reader of inspect and export stands beside the engine, for the host.
set(layer_of_reader 5)
set(layer_of_host 6)

set(violations "")
foreach(folder platform Common dbf thorough best_case worst_case kestdll reader host)
  file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}
       ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cc)
  foreach(source ${sources})
    file(STRINGS ${SOURCE_DIR}/${source} includes REGEX "^#include \"")
    foreach(line ${includes})
      string(REGEX REPLACE "^#include \"([^/\"]+)/.*" "\\1" included "${line}")
      if(DEFINED layer_of_${included} AND
         layer_of_${included} GREATER layer_of_${folder})
        list(APPEND violations "${source}: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  string(REPLACE ";" "\n  " text "${violations}")
  message(FATAL_ERROR "includes that reach up a layer:\n  ${text}")
endif()
