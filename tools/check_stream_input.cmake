# bvmp4 takes what it can from the streams themselves and refuses inputs
# that are not what their option says.
#  1. Without --fps the frame rate comes from the SPS's VUI timing: streams
#     FFmpeg encodes at 24, 25, 30, 50 and 60000/1001 fps (H.264, and HEVC
#     at two rates) give the frame rate, frame count and duration of
#     FFmpeg's own -c copy of the same stream (its raw-stream time base
#     rounds the duration to the millisecond).
#  2. A 96 kHz ADTS stream records and decodes at 96 kHz.
#  3. Wrong-type inputs exit non-zero with a message naming the problem.
# Inputs: BVMP4, FFMPEG, FFPROBE, SAMPLES, WORK.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(run_ok)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${err}")
  endif()
endfunction()

# "rate,frames,duration" of the first stream and the file.
function(probe file out)
  execute_process(COMMAND "${FFPROBE}" -v error -select_streams 0 -show_entries stream=r_frame_rate,nb_frames
                          -show_entries format=duration -of csv=p=0 "${file}"
                  OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
    message(FATAL_ERROR "ffprobe ${file}: ${err}")
  endif()
  string(REGEX REPLACE "[\r\n]+" "," text "${text}")
  string(REGEX REPLACE ",$" "" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(cases "h264 24" "h264 25" "h264 30" "h264 50" "h264 60000/1001" "hevc 30" "hevc 60000/1001")
foreach(case IN LISTS cases)
  separate_arguments(case)
  list(GET case 0 codec)
  list(GET case 1 rate)
  string(REPLACE "/" "_" tag "${codec}_${rate}")
  set(want_rate "${rate}")
  if(NOT rate MATCHES "/")
    set(want_rate "${rate}/1")
  endif()
  set(stream "${WORK}/${tag}.${codec}")
  if(codec STREQUAL "h264")
    set(enc -c:v libx264 -bf 0 -g 30)
  else()
    set(enc -c:v libx265 -x265-params log-level=error:bframes=0:keyint=30)
  endif()
  run_ok("${FFMPEG}" -v error -y -f lavfi -i "testsrc2=size=128x72:rate=${rate}:duration=2" ${enc} -f ${codec}
         "${stream}")
  run_ok("${FFMPEG}" -v error -y -i "${stream}" -c copy "${WORK}/${tag}_ffmpeg.mp4")
  run_ok("${BVMP4}" mux --video "${stream}" -o "${WORK}/${tag}_bvmp4.mp4")
  probe("${WORK}/${tag}_ffmpeg.mp4" ref)
  probe("${WORK}/${tag}_bvmp4.mp4" got)
  string(REPLACE "," ";" ref "${ref}")
  string(REPLACE "," ";" got "${got}")
  list(GET ref 0 ref_rate)
  list(GET ref 1 ref_frames)
  list(GET ref 2 ref_duration)
  list(GET got 0 got_rate)
  list(GET got 1 got_frames)
  list(GET got 2 got_duration)
  string(REGEX REPLACE "^([0-9]+)\\.([0-9][0-9][0-9]).*" "\\1\\2" ref_ms "${ref_duration}")
  string(REGEX REPLACE "^([0-9]+)\\.([0-9][0-9][0-9]).*" "\\1\\2" got_ms "${got_duration}")
  math(EXPR diff "${ref_ms} - ${got_ms}")
  if(NOT got_rate STREQUAL want_rate OR NOT got_rate STREQUAL ref_rate OR NOT got_frames EQUAL ref_frames
     OR diff GREATER 1 OR diff LESS -1)
    message(FATAL_ERROR "${codec} at ${rate} fps: bvmp4 gives ${got_rate} fps, ${got_frames} frames, "
                        "${got_duration} s; FFmpeg ${ref_rate}, ${ref_frames}, ${ref_duration}")
  endif()
endforeach()

# 96 kHz does not fit the 16-bit rate field; the ADTS header carries it.
run_ok("${FFMPEG}" -v error -y -f lavfi -i "sine=frequency=440:sample_rate=96000:duration=1" -c:a aac -ar 96000
       -f adts "${WORK}/a96.aac")
run_ok("${BVMP4}" mux --audio "${WORK}/a96.aac" -o "${WORK}/a96.mp4")
execute_process(COMMAND "${FFPROBE}" -v error -show_entries stream=sample_rate -of csv=p=0 "${WORK}/a96.mp4"
                OUTPUT_VARIABLE rate OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND "${FFMPEG}" -v error -i "${WORK}/a96.mp4" -f null - RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rate STREQUAL "96000" OR NOT rc EQUAL 0 OR NOT err STREQUAL "")
  message(FATAL_ERROR "96 kHz ADTS recorded at '${rate}' Hz: ${err}")
endif()

# Wrong-type inputs: the arguments and what the message must name, '|'
# between them.
configure_file("${WORK}/hevc_30.hevc" "${WORK}/named.h264" COPYONLY)
set(wrong
  "--audio|${SAMPLES}/sample.h264|not an ADTS AAC stream"
  "--video|${SAMPLES}/sample.aac|--codec|h264|not an Annex-B H.264 stream"
  "--video|${WORK}/named.h264|use --codec hevc"
  "--video|${WORK}/hevc_30.hevc|--codec|h264|use --codec hevc"
  "--video|${WORK}/h264_25.h264|--codec|hevc|use --codec h264"
  "--video|${WORK}/h264_25_bvmp4.mp4|--codec|h264|--size|64x64|no complete set of readable H.264 parameter sets")
foreach(args IN LISTS wrong)
  string(REPLACE "|" ";" args "${args}")
  list(POP_BACK args expected)
  execute_process(COMMAND "${BVMP4}" mux ${args} -o "${WORK}/wrong.mp4" RESULT_VARIABLE rc OUTPUT_QUIET
                  ERROR_VARIABLE err)
  if(rc EQUAL 0 OR NOT err MATCHES "${expected}")
    message(FATAL_ERROR "bvmp4 mux ${args}: exit ${rc}, expected a failure naming '${expected}': ${err}")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK}")
