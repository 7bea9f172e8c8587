# Installs the built tree into a scratch prefix, then configures, builds and
# runs the consumer project against it (find_package and pkg-config) and the
# installed bvmp4. Inputs: BUILD, SOURCE, WORK, CC, TOOL (0/1), SAMPLES.
set(prefix ${WORK}/prefix)
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix} RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/build -DCMAKE_PREFIX_PATH=${prefix}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer configure failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/build RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer build failed")
endif()
# Everything below runs as a user would: no LD_LIBRARY_PATH, only the run
# paths the install and the .pc file give.
unset(ENV{LD_LIBRARY_PATH})
execute_process(COMMAND ${WORK}/build/consumer ${WORK}/out.mp4 RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer failed (${rc}): ${out}")
endif()

# A host compiled by hand with the flags pkg-config gives for the prefix.
find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG AND CC)
  file(GLOB_RECURSE pc_files ${prefix}/bv_mp4.pc)
  list(GET pc_files 0 pc_file)
  get_filename_component(pc_dir ${pc_file} DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} ${pc_dir})
  execute_process(COMMAND ${PKG_CONFIG} --cflags --libs bv_mp4 OUTPUT_VARIABLE flags RESULT_VARIABLE rc
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0 OR NOT flags MATCHES "-lbv_mp4")
    message(FATAL_ERROR "pkg-config does not describe bv_mp4: ${flags}")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  execute_process(COMMAND ${CC} -std=c11 -Wall -Wextra -pedantic -Werror ${SOURCE}/main.c ${flags}
                          -o ${WORK}/pc_host RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config host build failed: ${err}")
  endif()
  execute_process(COMMAND ${WORK}/pc_host ${WORK}/pc.mp4 RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config host does not run from the prefix (${rc}): ${out}${err}")
  endif()
endif()

# The installed tool starts and records the bundled clip.
if(TOOL)
  execute_process(COMMAND ${prefix}/bin/bvmp4 mux --video ${SAMPLES}/sample.h264 --audio ${SAMPLES}/sample.aac
                          -o ${WORK}/tool.mp4
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT EXISTS ${WORK}/tool.mp4)
    message(FATAL_ERROR "installed bvmp4 does not run (${rc}): ${err}")
  endif()
endif()
message(STATUS "installed library, tool and pkg-config host run from ${prefix}")
