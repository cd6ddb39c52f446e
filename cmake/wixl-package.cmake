# Installer packages built with wixl from sources that include the authoring
# fragment wix/CustAction.wxs (<?include CustAction.wxs ?> inside Product).
#
#   ca_wixl_package(NAME OUTPUT pkg.msi SOURCE pkg.wxs [DEFINES NAME=VALUE...]
#                   [DEPENDS file...])
#
# adds the target NAME that builds the package with this build's DLL; DEPENDS
# names the further files the package holds. wixl
# 0.101 rejects the fragment's UI element, so the fragment is compiled without
# it and the same progress texts are added as an ActionText table. It also
# compiles rollback and commit actions as immediate ones and drops
# TerminalServerAware: the in-script actions' types are set after the build
# (cmake/action-types.cmake).
set(CA_FRAGMENT ${PROJECT_SOURCE_DIR}/wix/CustAction.wxs)

# The packages' platform is the build's: x64 for the twin, x86 (Intel) for
# the product.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CA_WIXL_ARCH x64)
  set(CA_WIN64 yes)
else()
  set(CA_WIXL_ARCH x86)
  set(CA_WIN64 no)
endif()

function(ca_wixl_package name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "OUTPUT;SOURCE" "DEFINES;DEPENDS")
  # wixl takes relative source paths only: the DLL relative to the build folder.
  # CaWin64 is the Win64 attribute of the package's components and registry
  # searches: "no" in a 32-bit package, whose views are the 32-bit ones.
  set(defines -D CustActionDll=module/CustAction.dll -D CustActionNoProgressText=1 -D CaWin64=${CA_WIN64})
  foreach(define IN LISTS arg_DEFINES)
    list(APPEND defines -D ${define})
  endforeach()
  set(idt ${arg_OUTPUT}.ActionText.idt)
  add_custom_command(OUTPUT ${arg_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -DFRAGMENT=${CA_FRAGMENT} -DOUT=${idt}
            -P ${PROJECT_SOURCE_DIR}/cmake/action-text.cmake
    COMMAND wixl -a ${CA_WIXL_ARCH} ${defines} -I ${PROJECT_SOURCE_DIR}/wix -o ${arg_OUTPUT} ${arg_SOURCE}
    COMMAND msibuild ${arg_OUTPUT} -i ${idt}
    COMMAND ${CMAKE_COMMAND} -DFRAGMENT=${CA_FRAGMENT} -DPACKAGE=${arg_OUTPUT}
            -P ${PROJECT_SOURCE_DIR}/cmake/action-types.cmake
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    DEPENDS ${arg_SOURCE} ${arg_DEPENDS} ${CA_FRAGMENT} ${PROJECT_SOURCE_DIR}/cmake/action-text.cmake
            ${PROJECT_SOURCE_DIR}/cmake/action-types.cmake CustAction
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${arg_OUTPUT})
endfunction()
