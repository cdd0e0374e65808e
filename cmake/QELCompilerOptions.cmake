# Compiler settings shared by every target of the project.

add_library(qel_compile_options INTERFACE)
target_compile_options(qel_compile_options INTERFACE -Wall -Wextra)
if(QEL_WARNINGS_AS_ERRORS)
  target_compile_options(qel_compile_options INTERFACE -Werror)
endif()

if(QEL_SANITIZE)
  # Stop at the first report so that CTest sees a failing test, and keep frame
  # pointers so that the reports carry readable stacks.
  set(QEL_SANITIZER_FLAGS
      -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_compile_options(qel_compile_options INTERFACE ${QEL_SANITIZER_FLAGS})
  target_link_options(qel_compile_options INTERFACE ${QEL_SANITIZER_FLAGS})
endif()
