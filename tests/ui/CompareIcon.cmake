# Draws the Windows icon afresh and compares it byte for byte with the one
# in the tree. To refresh the tree's copy after changing the drawing:
#   tr52k-icon-export --ico ui/win32/tr52k.ico 16 24 32 48 64 128
execute_process(COMMAND ${EXPORT} --ico ${OUT} 16 24 32 48 64 128 RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "tr52k-icon-export failed: ${rc}")
endif()
file(SHA256 ${OUT} drawn)
file(SHA256 ${COMMITTED} kept)
if(NOT drawn STREQUAL kept)
  message(FATAL_ERROR "ui/win32/tr52k.ico is not the icon the code draws; refresh it with: tr52k-icon-export --ico ui/win32/tr52k.ico 16 24 32 48 64 128")
endif()
