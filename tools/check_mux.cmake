# Records the bundled clip with bvmp4 and reads the result back with ffprobe:
# the frame counts, picture size and duration must survive the round trip,
# and a failure must surface as a non-zero exit with the result code's text.
# Inputs: BVMP4, FFPROBE, SAMPLES, WORK.

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(probe file entries out)
  execute_process(COMMAND "${FFPROBE}" -v error -count_packets -show_entries "${entries}" -of csv=p=0 "${file}"
                  OUTPUT_VARIABLE text RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "ffprobe cannot read ${file}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# safe.mp4: safe write, the header reserved ahead and updated in place.
foreach(name clip.mp4 clip.mov safe.mp4)
  set(out "${WORK}/${name}")
  set(mode "")
  if(name STREQUAL "safe.mp4")
    set(mode --safe --max-duration 60 --update-interval 1)
  endif()
  execute_process(COMMAND "${BVMP4}" mux --video "${SAMPLES}/sample.h264" --audio "${SAMPLES}/sample.aac"
                          --timecode --meta title=bvmp4 ${mode} -o "${out}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "bvmp4 failed (${rc}) for ${name}: ${err}")
  endif()
  if(NOT log MATCHES "bvmp4 summary")
    message(FATAL_ERROR "no summary printed for ${name}")
  endif()
  probe("${out}" "stream=codec_name,width,height,sample_rate,nb_read_packets" streams)
  # Time-code streams show as data streams without packets in ffprobe; only
  # the video and audio lines are compared.
  if(NOT streams MATCHES "h264,640,360,125")
    message(FATAL_ERROR "${name}: video stream wrong: ${streams}")
  endif()
  if(NOT streams MATCHES "aac,48000,236")
    message(FATAL_ERROR "${name}: audio stream wrong: ${streams}")
  endif()
  probe("${out}" "format=duration" duration)
  if(duration LESS 4.9 OR duration GREATER 5.1)
    message(FATAL_ERROR "${name}: duration ${duration}, expected about 5 s")
  endif()
endforeach()

# The library's info lines only with -v or -vv, or when BV_MP4_LOG_LEVEL asks
# for them; the summary always.
# Each run: environment setting, option, whether info lines are expected
# ("-" for none).
foreach(run "-:-:0" "-:-v:1" "-:-vv:1" "BV_MP4_LOG_LEVEL=info:-:1" "BV_MP4_LOG_LEVEL=error:-:0")
  string(REPLACE ":" ";" run "${run}")
  list(GET run 0 env)
  list(GET run 1 flags)
  list(GET run 2 want)
  list(TRANSFORM env REPLACE "^-$" "")
  list(TRANSFORM flags REPLACE "^-$" "")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env --unset=BV_MP4_LOG_LEVEL ${env}
                          "${BVMP4}" mux --video "${SAMPLES}/sample.h264" ${flags} -o "${WORK}/verbose.mp4"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE err)
  set(got 0)
  if(log MATCHES "\\[info\\]")
    set(got 1)
  endif()
  if(NOT rc EQUAL 0 OR NOT log MATCHES "bvmp4 summary" OR NOT got EQUAL want)
    message(FATAL_ERROR "bvmp4 ${env} ${flags}: info lines ${got}, expected ${want} (rc ${rc}): ${err}")
  endif()
endforeach()

probe("${WORK}/clip.mov" "format_tags=major_brand" brand)
if(NOT brand MATCHES "qt")
  message(FATAL_ERROR "clip.mov is not a QuickTime movie (brand '${brand}')")
endif()

# Through the host callbacks (external I/O) the same frames give the same bytes.
execute_process(COMMAND "${BVMP4}" mux --video "${SAMPLES}/sample.h264" --audio "${SAMPLES}/sample.aac"
                        --timecode --meta title=bvmp4 --io-callbacks -o "${WORK}/callbacks.mp4"
                RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${WORK}/clip.mp4" "${WORK}/callbacks.mp4"
                RESULT_VARIABLE same)
if(NOT rc EQUAL 0 OR NOT same EQUAL 0)
  message(FATAL_ERROR "--io-callbacks (rc ${rc}) must give the bytes of the plain recording: ${err}")
endif()

execute_process(COMMAND "${BVMP4}" mux --video "${SAMPLES}/sample.h264" -o "${WORK}/no/such/dir/x.mp4"
                RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
if(rc EQUAL 0 OR NOT err MATCHES "failed: no such file or directory \\(result 13\\)")
  message(FATAL_ERROR "an unwritable output must fail with the result code text (rc ${rc}): ${err}")
endif()

file(REMOVE_RECURSE "${WORK}")
