# One place for the warning flags of every Quayside target.
add_library(quayside_warnings INTERFACE)
target_compile_options(quayside_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wnon-virtual-dtor -Woverloaded-virtual)
if(QUAYSIDE_WARNINGS_AS_ERRORS)
  target_compile_options(quayside_warnings INTERFACE -Werror)
endif()
