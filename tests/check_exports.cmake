# Fails unless every symbol the library exports is an mp4_* or mm_log_*
# function. ELF: nm -D; PE: the export name table printed by objdump -p.
cmake_policy(SET CMP0057 NEW)  # if(IN_LIST)
set(names "")
if(OBJDUMP)
  execute_process(COMMAND ${OBJDUMP} -p ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  string(REGEX MATCHALL "\t\\[ *[0-9]+\\] [A-Za-z_0-9@]+" entries "${out}")
  foreach(e IN LISTS entries)
    string(REGEX REPLACE "^\t\\[ *[0-9]+\\] " "" n "${e}")
    list(APPEND names ${n})
  endforeach()
else()
  execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  string(REGEX MATCHALL "[0-9a-fA-F]+ [A-Za-z] [^\n]+" entries "${out}")
  foreach(e IN LISTS entries)
    string(REGEX REPLACE "^[0-9a-fA-F]+ [A-Za-z] " "" n "${e}")
    list(APPEND names ${n})
  endforeach()
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "could not list the symbols of ${LIB}")
endif()
set(count 0)
foreach(n IN LISTS names)
  if(n MATCHES "^(mp4_|mm_log_)")
    math(EXPR count "${count}+1")
  elseif(NOT n MATCHES "^(_init|_fini|_edata|_end|__bss_start|BV_MP4_1\\.0)$")
    message(FATAL_ERROR "unexpected exported symbol: ${n}")
  endif()
endforeach()
# The interface, each function under its plain name.
set(required
  mp4_create_file mp4_create_file_ex mp4_create_file_adv mp4_create_file_adv_ex mp4_create_file_full
  mp4_create_file_full_ex mp4_close_file mp4_set_safe_param mp4_get_safe_param
  mp4_set_video_track mp4_set_audio_track mp4_set_subtitle_track mp4_set_time_code_track mp4_set_metadata
  mp4_set_metadata_ex mp4_write_video_frame mp4_write_video_frame_ex mp4_write_audio_frame mp4_write_subtitle_frame mp4_write_time_code
  mp4_get_duration_ms mp4_get_file_duration mp4_get_file_duration_ex mp4_get_file_size mp4_get_moov_size
  mp4_get_video_bitrate mp4_get_audio_bitrate mp4_repair_file mp4_repair_file_ex mp4_repair_set_flush_interval
  mm_log_debug mm_log_info mm_log_warn mm_log_error mm_log_init)
foreach(r IN LISTS required)
  if(NOT r IN_LIST names)
    message(FATAL_ERROR "missing export: ${r}")
  endif()
endforeach()
if(count LESS 14)
  message(FATAL_ERROR "only ${count} exported functions found")
endif()
message(STATUS "${count} exported functions, nothing else")
