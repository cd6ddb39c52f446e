# Gives the fragment's in-script actions (Execute="deferred", "rollback" or
# "commit") their CustomAction types in a package built with wixl, which
# compiles rollback and commit actions as immediate ones and does not know
# TerminalServerAware: a DLL from the Binary table (1), in-script (0x400),
# rollback (0x100) or commit (0x200), not impersonated (0x800), terminal-server
# aware (0x4000). msibuild runs the updates.
# Usage: cmake -DFRAGMENT=wix/CustAction.wxs -DPACKAGE=pkg.msi -P action-types.cmake
file(READ ${FRAGMENT} fragment)
string(REGEX MATCHALL "<CustomAction [^>]*DllEntry=[^>]*>" actions "${fragment}")
set(updated 0)
foreach(action IN LISTS actions)
  if(NOT action MATCHES "Execute=\"(deferred|rollback|commit)\"")
    continue()
  endif()
  set(execute "${CMAKE_MATCH_1}")
  if(NOT action MATCHES " Id=\"([^\"]+)\"")
    message(FATAL_ERROR "${FRAGMENT}: CustomAction without Id: ${action}")
  endif()
  set(id "${CMAKE_MATCH_1}")
  math(EXPR type "1 + 0x400")
  if(execute STREQUAL "rollback")
    math(EXPR type "${type} + 0x100")
  elseif(execute STREQUAL "commit")
    math(EXPR type "${type} + 0x200")
  endif()
  if(action MATCHES "Impersonate=\"no\"")
    math(EXPR type "${type} + 0x800")
  endif()
  if(action MATCHES "TerminalServerAware=\"yes\"")
    math(EXPR type "${type} + 0x4000")
  endif()
  execute_process(COMMAND msibuild ${PACKAGE} -q "UPDATE `CustomAction` SET `Type` = ${type} WHERE `Action` = '${id}'"
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "msibuild could not set the type of ${id} in ${PACKAGE}")
  endif()
  math(EXPR updated "${updated} + 1")
endforeach()
if(updated EQUAL 0)
  message(FATAL_ERROR "${FRAGMENT}: no in-script actions")
endif()
