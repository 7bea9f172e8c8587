# Streams with B-frames recorded by bvmp4 without being told any time: the
# presentation times it derives from the picture order counts must be those
# of the MP4 the encoder's own muxer wrote (per packet, in 25 fps ticks, up to
# one shift), every picture must decode to the same checksum, and FFmpeg must
# have nothing to warn about.
# Inputs: BVMP4, FFPROBE, FFMPEG, DATA, WORK.

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

# Packet times as "pts,dts" lines in frames of 1/25 s.
function(frame_times file out)
  execute_process(COMMAND "${FFPROBE}" -v error -select_streams v:0 -show_entries packet=pts_time,dts_time
                          -of csv=p=0 "${file}"
                  OUTPUT_VARIABLE text RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "ffprobe cannot read ${file}")
  endif()
  string(REPLACE "\n" ";" lines "${text}")
  set(frames "")
  foreach(line IN LISTS lines)
    string(REPLACE "," ";" t "${line}")
    set(v "")
    foreach(s IN LISTS t)
      # Seconds with six decimals to frames: 0.040000 s is one frame.
      string(REGEX REPLACE "^(-?)([0-9]+)\\.([0-9]+)$" "\\1\\2\\3" micro "${s}")
      math(EXPR f "${micro} / 40000")
      list(APPEND v ${f})
    endforeach()
    list(JOIN v "," pair)
    list(APPEND frames "${pair}")
  endforeach()
  set(${out} "${frames}" PARENT_SCOPE)
endfunction()

function(frame_md5 file out)
  execute_process(COMMAND "${FFMPEG}" -nostdin -v error -i "${file}" -f framemd5 -
                  OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  string(REGEX REPLACE "#[^\n]*\n" "" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

foreach(stream bf_h264_pyramid.h264 bf_h264_flat.h264 bf_hevc.hevc)
  string(REGEX REPLACE "\\..*" "" name "${stream}")
  set(out "${WORK}/${name}.mp4")
  execute_process(COMMAND "${BVMP4}" mux --video "${DATA}/${stream}" -o "${out}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "bvmp4 failed (${rc}) for ${stream}: ${err}")
  endif()
  frame_times("${DATA}/${name}.mp4" want)
  frame_times("${out}" got)
  list(LENGTH want frames)
  if(NOT frames EQUAL 50)
    message(FATAL_ERROR "${stream}: ${frames} reference packets read, 50 expected")
  endif()
  # Both start presenting at 0, so the shift is 0.
  if(NOT want STREQUAL got)
    message(FATAL_ERROR "${stream}: packet times differ\n  reference: ${want}\n  bvmp4:     ${got}")
  endif()
  frame_md5("${DATA}/${name}.mp4" want_md5)
  frame_md5("${out}" got_md5)
  if(want_md5 STREQUAL "" OR NOT want_md5 STREQUAL got_md5)
    message(FATAL_ERROR "${stream}: decoded frames differ from the reference")
  endif()
  execute_process(COMMAND "${FFMPEG}" -nostdin -v warning -i "${out}" -f null - ERROR_VARIABLE warnings)
  if(NOT warnings STREQUAL "")
    message(FATAL_ERROR "${stream}: ffmpeg warns: ${warnings}")
  endif()
endforeach()
