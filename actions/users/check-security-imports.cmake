# Checks a built CustAction.dll: the security functions the rights actions look
# up by name at run time are not among its imports, so the module loads on
# systems that lack them.
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${DLL}")
endif()
foreach(name AllocateAndInitializeSid GetSecurityInfo SetSecurityInfo GetNamedSecurityInfoA
             SetNamedSecurityInfoA SetEntriesInAclA)
  if(dump MATCHES "[ \t]${name}\n")
    message(FATAL_ERROR "${DLL} imports ${name}, which must be looked up at run time")
  endif()
endforeach()
