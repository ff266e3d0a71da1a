# Compile options shared by every target of the project.
add_library(zq_options INTERFACE)
target_compile_options(zq_options INTERFACE -Wall -Wextra)
if(ZQ_WERROR)
  target_compile_options(zq_options INTERFACE -Werror)
endif()
if(ZQ_SANITIZE)
  target_compile_options(zq_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -O1)
  target_link_options(zq_options INTERFACE -fsanitize=address,undefined)
endif()
find_package(Threads REQUIRED)
target_link_libraries(zq_options INTERFACE Threads::Threads)

# Build-tree only: an installed zq carries none of the project's warning or sanitizer flags.
function(zq_project_options target)
  target_link_libraries(${target} PUBLIC $<BUILD_INTERFACE:zq_options>)
endfunction()
