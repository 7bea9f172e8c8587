# Records the bundled clip with bvmp4 and reads it back with `bvmp4 info`:
# the duration must be ffprobe's to the millisecond and each track must show
# its kind, codec, sample count and duration. Cut copies of the file (movie
# box cut short, media data cut short) must still be described, not crash.
# Inputs: BVMP4, FFPROBE, SAMPLES, WORK.

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(info file out)
  execute_process(COMMAND "${BVMP4}" info "${file}" RESULT_VARIABLE rc OUTPUT_VARIABLE text ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "bvmp4 info failed (${rc}) on ${file}: ${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(expect text regex what)
  if(NOT text MATCHES "${regex}")
    message(FATAL_ERROR "${what}: no line matching '${regex}' in:\n${text}")
  endif()
endfunction()

# The first `bytes` bytes of `in`.
function(cut in out bytes)
  execute_process(COMMAND head -c ${bytes} "${in}" OUTPUT_FILE "${out}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot cut ${in}")
  endif()
endfunction()

foreach(name clip.mp4 clip_large.mov)
  set(out "${WORK}/${name}")
  set(flags "")
  if(name MATCHES "large")
    set(flags --large-file --time64)
  endif()
  execute_process(COMMAND "${BVMP4}" mux --video "${SAMPLES}/sample.h264" --audio "${SAMPLES}/sample.aac"
                          --timecode ${flags} -o "${out}"
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "bvmp4 mux failed (${rc}) for ${name}: ${err}")
  endif()

  execute_process(COMMAND "${FFPROBE}" -v error -show_entries format=duration -of csv=p=0 "${out}"
                  OUTPUT_VARIABLE probed OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT probed MATCHES "^([0-9]+)\\.([0-9][0-9][0-9])")
    message(FATAL_ERROR "${name}: ffprobe gives no duration ('${probed}')")
  endif()
  math(EXPR probed_ms "${CMAKE_MATCH_1} * 1000 + 1${CMAKE_MATCH_2} - 1000")

  info("${out}" text)
  expect("${text}" "duration  ${probed_ms} ms" "${name}")
  expect("${text}" "\n  moov  offset [0-9]+  size [0-9]+\n    mvhd " "${name}: tree")
  expect("${text}" "\n          stbl  offset [0-9]+  size [0-9]+\n            stsd " "${name}: tree")
  expect("${text}" "track [0-9] +video +avc1  125 samples  5\\.000 s" "${name}")
  expect("${text}" "track [0-9] +audio +mp4a  236 samples  5\\.03[45] s" "${name}")
  expect("${text}" "track [0-9] +timecode +tmcd  1 samples  5\\.0[0-9][0-9] s" "${name}")
  if(name MATCHES "large")
    expect("${text}" "mdat  offset [0-9]+  size [0-9]+ \\(64-bit size\\)" "${name}")
  endif()
  if(text MATCHES "damaged")
    message(FATAL_ERROR "${name}: a whole file reported as damaged:\n${text}")
  endif()

  # The movie box cut in the middle: the movie header is still read.
  file(SIZE "${out}" size)
  math(EXPR keep "${size} - 500")
  cut("${out}" "${WORK}/moov_cut" ${keep})
  info("${WORK}/moov_cut" text)
  expect("${text}" "duration  ${probed_ms} ms" "${name} with the movie box cut")
  expect("${text}" "damaged   'moov' at offset [0-9]+ claims" "${name} with the movie box cut")

  # An unfinished recording: media data only, cut inside a sample.
  cut("${out}" "${WORK}/mdat_cut" 5000)
  info("${WORK}/mdat_cut" text)
  expect("${text}" "duration  0 ms" "${name} cut in the media data")
  expect("${text}" "tracks    none" "${name} cut in the media data")
endforeach()

execute_process(COMMAND "${BVMP4}" info "${WORK}/missing.mp4" RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
if(NOT rc EQUAL 1)
  message(FATAL_ERROR "a missing file must give exit status 1, got ${rc}")
endif()

file(REMOVE_RECURSE "${WORK}")
