# Warning flags shared by every target of the project.
add_library(vyo_warnings INTERFACE)
target_compile_options(vyo_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align -Wunused -Woverloaded-virtual
  -Wimplicit-fallthrough -Wno-missing-field-initializers)
if(VYO_WERROR)
  target_compile_options(vyo_warnings INTERFACE -Werror)
endif()
