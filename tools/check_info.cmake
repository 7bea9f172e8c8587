# Records the bundled clip with bvmp4 and reads it back with `bvmp4 info`:
# the duration must be ffprobe's to the millisecond, each track must show its
# kind, codec, sample count and duration, and a copy whose movie box is cut
# short must still be described. Inputs: BVMP4, FFPROBE, SAMPLES, WORK.

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(out "${WORK}/clip.mov")
execute_process(COMMAND "${BVMP4}" mux --video "${SAMPLES}/sample.h264" --audio "${SAMPLES}/sample.aac"
                        --timecode --large-file --time64 -o "${out}" RESULT_VARIABLE rc OUTPUT_QUIET)
execute_process(COMMAND "${FFPROBE}" -v error -show_entries format=duration -of csv=p=0 "${out}"
                OUTPUT_VARIABLE probed)
if(NOT rc EQUAL 0 OR NOT probed MATCHES "^([0-9]+)\\.([0-9][0-9][0-9])")
  message(FATAL_ERROR "recording failed (${rc}) or ffprobe gives no duration ('${probed}')")
endif()
math(EXPR ms "${CMAKE_MATCH_1} * 1000 + 1${CMAKE_MATCH_2} - 1000")

file(SIZE "${out}" size)
math(EXPR keep "${size} - 500")
execute_process(COMMAND head -c ${keep} "${out}" OUTPUT_FILE "${WORK}/cut.mov")

foreach(file clip.mov cut.mov)
  execute_process(COMMAND "${BVMP4}" info "${WORK}/${file}" RESULT_VARIABLE rc OUTPUT_VARIABLE text)
  set(expected "duration  ${ms} ms" "mdat  offset [0-9]+  size [0-9]+ \\(64-bit size\\)"
      "\n  moov  offset [0-9]+  size [0-9]+[^\n]*\n    mvhd ")
  if(file STREQUAL "clip.mov")
    list(APPEND expected "\n          stbl  offset [0-9]+  size [0-9]+\n            stsd "
         "track [0-9] +video +avc1  125 samples  5\\.000 s" "track [0-9] +audio +mp4a  236 samples  5\\.03[45] s"
         "track [0-9] +timecode +tmcd  1 samples  5\\.0[0-9][0-9] s")
    if(text MATCHES "damaged")
      message(FATAL_ERROR "a whole file reported as damaged:\n${text}")
    endif()
  else()
    list(APPEND expected "damaged   'moov' at offset [0-9]+ claims")
  endif()
  foreach(regex IN LISTS expected)
    if(NOT rc EQUAL 0 OR NOT text MATCHES "${regex}")
      message(FATAL_ERROR "bvmp4 info ${file} (exit ${rc}): no line matching '${regex}' in:\n${text}")
    endif()
  endforeach()
endforeach()
file(REMOVE_RECURSE "${WORK}")
