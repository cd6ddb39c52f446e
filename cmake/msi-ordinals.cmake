# Import library for msi.dll by ordinal (no names in the import table).
file(READ ${PROJECT_SOURCE_DIR}/module/msi.def ca_msi_def)
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  string(REGEX REPLACE "@[0-9]+ @" " @" ca_msi_def "${ca_msi_def}")
endif()
file(WRITE ${CMAKE_BINARY_DIR}/msi-ordinals.def "${ca_msi_def}")
set(ca_msi_lib ${CMAKE_BINARY_DIR}/libmsi_ordinals.a)
execute_process(
  COMMAND ${CA_DLLTOOL} -k -d ${CMAKE_BINARY_DIR}/msi-ordinals.def -l ${ca_msi_lib}
  RESULT_VARIABLE ca_dlltool_result)
if(NOT ca_dlltool_result EQUAL 0)
  message(FATAL_ERROR "dlltool failed to make the msi.dll import library")
endif()
add_library(ca_msi_ordinals INTERFACE)
target_link_libraries(ca_msi_ordinals INTERFACE ${ca_msi_lib})
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/module/msi.def)
