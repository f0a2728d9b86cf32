# The kernel and worker images of the Windows build, included by kernels/CMakeLists.txt in
# place of its own image steps. The image objects are compiled by the host's ELF compiler from
# the same sources, with every entry point in the Microsoft x64 convention (KV_MS_ABI), no red
# zone (Windows gives none) and probed stack frames (a Windows thread stack grows one guard
# page at a time). They are then linked flat and checked by build_image.sh with the host's
# binutils, exactly like the Linux images, and finally checked for unprobed large frames.
# Expects KORVANE_IMAGE_FLAGS and KORVANE_KERNEL_SOURCES from kernels/CMakeLists.txt.

find_program(KORVANE_HOST_CXX NAMES g++ c++ REQUIRED)
find_program(KORVANE_LD NAMES ld.bfd ld REQUIRED)
find_program(KORVANE_OBJCOPY NAMES objcopy REQUIRED)
find_program(KORVANE_NM NAMES nm REQUIRED)
find_program(KORVANE_READELF NAMES readelf REQUIRED)
find_program(KORVANE_OBJDUMP NAMES objdump REQUIRED)
foreach(tool KORVANE_LD KORVANE_OBJCOPY KORVANE_NM KORVANE_READELF KORVANE_OBJDUMP)
  if(${tool} MATCHES "mingw")
    message(FATAL_ERROR "${tool} is ${${tool}}: the images are ELF and need the host's binutils")
  endif()
endforeach()

string(TOUPPER "${CMAKE_BUILD_TYPE}" korvane_build_type)
separate_arguments(korvane_config_flags UNIX_COMMAND "${CMAKE_CXX_FLAGS_${korvane_build_type}}")
set(KORVANE_MS_IMAGE_FLAGS ${korvane_config_flags} -Wall -Wextra ${KORVANE_IMAGE_FLAGS}
    -DKV_MS_ABI -mno-red-zone -fstack-clash-protection -I${PROJECT_SOURCE_DIR})

# Needs: a source file of kernels/. Adds the command that compiles it with the host compiler
# and appends the object to the list named by out_list.
function(korvane_ms_image_object source out_list)
  get_filename_component(stem ${source} NAME_WE)
  set(obj ${CMAKE_CURRENT_BINARY_DIR}/ms_abi/${stem}.o)
  set(lang_flags)
  if(source MATCHES "\\.cpp$")
    set(lang_flags -std=c++20)
  endif()
  add_custom_command(
    OUTPUT ${obj}
    COMMAND ${KORVANE_HOST_CXX} ${KORVANE_MS_IMAGE_FLAGS} ${lang_flags} -MD -MF ${obj}.d
            -c ${CMAKE_CURRENT_SOURCE_DIR}/${source} -o ${obj}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${source}
    DEPFILE ${obj}.d
    COMMENT "Compiling ${source} for the Windows images"
    VERBATIM)
  set(${out_list} ${${out_list}} ${obj} PARENT_SCOPE)
endfunction()

file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/ms_abi)
set(korvane_ms_code_objects)
foreach(source ${KORVANE_KERNEL_SOURCES})
  korvane_ms_image_object(${source} korvane_ms_code_objects)
endforeach()
set(korvane_ms_kernel_entry)
korvane_ms_image_object(kernel_entry.S korvane_ms_kernel_entry)
set(korvane_ms_worker_entry)
korvane_ms_image_object(worker_entry.cpp korvane_ms_worker_entry)

# Needs: the image's file name and its entry object. Links and checks it.
function(korvane_ms_image out_name entry_object)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${out_name})
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/build_image.sh ${KORVANE_LD} ${KORVANE_OBJCOPY} ${KORVANE_NM}
            ${KORVANE_READELF} ${CMAKE_CURRENT_SOURCE_DIR}/image.ld ${out}
            ${entry_object} ${korvane_ms_code_objects}
    COMMAND ${PROJECT_SOURCE_DIR}/cmake/check_stack_probes.sh ${KORVANE_OBJDUMP} ${out}
    DEPENDS ${entry_object} ${korvane_ms_code_objects} ${CMAKE_CURRENT_SOURCE_DIR}/build_image.sh
            ${CMAKE_CURRENT_SOURCE_DIR}/image.ld ${PROJECT_SOURCE_DIR}/cmake/check_stack_probes.sh
    COMMENT "Linking and checking ${out_name} (Microsoft x64 convention)"
    VERBATIM)
endfunction()

korvane_ms_image(kernel_image.bin ${korvane_ms_kernel_entry})
korvane_ms_image(worker_image.bin ${korvane_ms_worker_entry})
add_custom_target(korvane_images DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/kernel_image.bin
                                         ${CMAKE_CURRENT_BINARY_DIR}/worker_image.bin)
set(KORVANE_KERNEL_IMAGE ${CMAKE_CURRENT_BINARY_DIR}/kernel_image.bin PARENT_SCOPE)
set(KORVANE_WORKER_IMAGE ${CMAKE_CURRENT_BINARY_DIR}/worker_image.bin PARENT_SCOPE)

# The same code compiled for Windows, for the test programs that call the kernels directly.
# The entry table is assembler in ELF syntax and only the image needs it.
korvane_image_objects(kernel_code ${KORVANE_KERNEL_SOURCES})
korvane_image_objects(worker_entry worker_entry.cpp)
add_library(korvane_kernels STATIC $<TARGET_OBJECTS:kernel_code> $<TARGET_OBJECTS:worker_entry>)
target_include_directories(korvane_kernels PUBLIC ${PROJECT_SOURCE_DIR})
