# A Cronet library given with -DTARNWICK_CRONET_LIBRARY, as the imported target `cronet_api`.
#
# Linux: the module records the library's SONAME and finds it at run time in
# tarnwick.cronet/ beside itself (run path), where it is installed under that
# name. Windows: TARNWICK_CRONET_LIBRARY is the import library (.lib or .dll.a)
# and TARNWICK_CRONET_DLL the DLL, installed beside the module.
add_library(cronet_api SHARED IMPORTED GLOBAL)
target_include_directories(cronet_api INTERFACE ${PROJECT_SOURCE_DIR}/include)
if(WIN32)
  set_target_properties(cronet_api PROPERTIES IMPORTED_IMPLIB "${TARNWICK_CRONET_LIBRARY}")
  if(TARNWICK_CRONET_DLL)
    set_target_properties(cronet_api PROPERTIES IMPORTED_LOCATION "${TARNWICK_CRONET_DLL}")
  endif()
  return()
endif()

set_target_properties(cronet_api PROPERTIES IMPORTED_LOCATION "${TARNWICK_CRONET_LIBRARY}")
find_program(TARNWICK_READELF NAMES ${CMAKE_READELF} readelf REQUIRED)
execute_process(COMMAND ${TARNWICK_READELF} -d "${TARNWICK_CRONET_LIBRARY}"
                OUTPUT_VARIABLE _cronet_dynamic RESULT_VARIABLE _cronet_rc)
if(NOT _cronet_rc EQUAL 0)
  message(FATAL_ERROR "TARNWICK_CRONET_LIBRARY: ${TARNWICK_CRONET_LIBRARY} is not a shared library")
endif()
if(_cronet_dynamic MATCHES "Library soname: \\[([^]]+)\\]")
  set(TARNWICK_CRONET_SONAME "${CMAKE_MATCH_1}")
else()
  # Without a SONAME a full-path link would record the path; link by name instead.
  get_filename_component(TARNWICK_CRONET_SONAME "${TARNWICK_CRONET_LIBRARY}" NAME)
  set_target_properties(cronet_api PROPERTIES IMPORTED_NO_SONAME TRUE)
endif()
