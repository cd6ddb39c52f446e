# Checks a built CustAction.dll: the security functions the rights actions look
# up by name at run time are not among its imports, so the module loads on
# systems that lack them; and the functions that change an access list by path
# are not named anywhere in it, neither imported nor looked up: an access list
# is changed only through a handle whose object has been proven.
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
file(STRINGS ${DLL} byName REGEX "NamedSecurityInfo")
if(byName)
  message(FATAL_ERROR "${DLL} names a by-path security function (${byName}); change access lists through a proven handle")
endif()
