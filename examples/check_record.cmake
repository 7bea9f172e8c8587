# Runs the example host on the bundled clip; ffprobe must read every frame
# at the clip's rates and ffmpeg must decode the file without a complaint.
# Inputs: RECORD, FFPROBE, FFMPEG, WORK.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(out "${WORK}/record.mp4")
execute_process(COMMAND "${RECORD}" "${out}" RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "record failed (${rc}): ${err}")
endif()
execute_process(COMMAND "${FFPROBE}" -v error -count_packets
                        -show_entries stream=codec_name,width,height,r_frame_rate,sample_rate,channels,nb_read_packets
                        -of csv=p=0 "${out}"
                OUTPUT_VARIABLE streams ERROR_VARIABLE perr RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT perr STREQUAL "")
  message(FATAL_ERROR "ffprobe: ${perr}")
endif()
if(NOT streams MATCHES "h264,640,360,25/1,125" OR NOT streams MATCHES "aac,48000,2,[0-9/]+,236")
  message(FATAL_ERROR "unexpected streams: ${streams}")
endif()
execute_process(COMMAND "${FFMPEG}" -v error -i "${out}" -f null - ERROR_VARIABLE derr RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT derr STREQUAL "")
  message(FATAL_ERROR "decoding the example's file: ${derr}")
endif()
file(REMOVE_RECURSE "${WORK}")
