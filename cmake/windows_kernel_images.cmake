# The kernel and worker images of the Windows build, included by kernels/CMakeLists.txt in
# place of its own image steps. The image objects are compiled by the host's ELF compiler from
# the same sources, with every entry point in the Microsoft x64 convention (KV_MS_ABI), no red
# zone (Windows gives none) and probed stack frames (a Windows thread stack grows one guard
# page at a time). They are then linked flat and checked by build_image.sh with the host's
# binutils, exactly like the Linux images, and finally checked for unprobed large frames.
# Expects KORVANE_IMAGE_FLAGS, KORVANE_KERNEL_SOURCES, KORVANE_AVX2_SOURCES, KORVANE_WIDE_SOURCES
# and KORVANE_WIDE_FLAGS from kernels/.

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

# The wide variant of both images, for processors with AVX-512 (start-up picks it by CPUID),
# with the wide Linux images' flags (KORVANE_WIDE_FLAGS, from kernels/sources.cmake).

# Needs: a source file of kernels/, a variant folder name and its extra flags. Adds the command
# that compiles the source with the host compiler and appends the object to out_list.
function(korvane_ms_image_object source variant extra_flags out_list)
  get_filename_component(stem ${source} NAME_WE)
  set(obj ${CMAKE_CURRENT_BINARY_DIR}/ms_abi/${variant}/${stem}.o)
  set(lang_flags)
  if(source MATCHES "\\.cpp$")
    set(lang_flags -std=c++20)
  endif()
  add_custom_command(
    OUTPUT ${obj}
    COMMAND ${KORVANE_HOST_CXX} ${KORVANE_MS_IMAGE_FLAGS} ${extra_flags} ${lang_flags} -MD -MF ${obj}.d
            -c ${CMAKE_CURRENT_SOURCE_DIR}/${source} -o ${obj}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${source}
    DEPFILE ${obj}.d
    COMMENT "Compiling ${source} for the Windows images (${variant})"
    VERBATIM)
  set(${out_list} ${${out_list}} ${obj} PARENT_SCOPE)
endfunction()

# Needs: the image's file name, its entry object and its code objects. Links and checks it.
function(korvane_ms_image out_name entry_object code_objects)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${out_name})
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/build_image.sh ${KORVANE_LD} ${KORVANE_OBJCOPY} ${KORVANE_NM}
            ${KORVANE_READELF} ${CMAKE_CURRENT_SOURCE_DIR}/image.ld ${out}
            ${entry_object} ${code_objects}
    COMMAND ${PROJECT_SOURCE_DIR}/cmake/check_stack_probes.sh ${KORVANE_OBJDUMP} ${out}
    DEPENDS ${entry_object} ${code_objects} ${CMAKE_CURRENT_SOURCE_DIR}/build_image.sh
            ${CMAKE_CURRENT_SOURCE_DIR}/image.ld ${PROJECT_SOURCE_DIR}/cmake/check_stack_probes.sh
    COMMENT "Linking and checking ${out_name} (Microsoft x64 convention)"
    VERBATIM)
endfunction()

# Needs: a variant name, its extra flags, the suffix of its image names and its own sources
# (the tiles of its instruction set). Adds both images.
function(korvane_ms_images variant extra_flags suffix variant_sources)
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/ms_abi/${variant})
  set(code)
  foreach(source ${KORVANE_KERNEL_SOURCES} ${variant_sources})
    korvane_ms_image_object(${source} ${variant} "${extra_flags}" code)
  endforeach()
  set(kernel_entry)
  korvane_ms_image_object(kernel_entry.S ${variant} "${extra_flags}" kernel_entry)
  set(worker_entry)
  korvane_ms_image_object(worker_entry.cpp ${variant} "${extra_flags}" worker_entry)
  korvane_ms_image(kernel_image${suffix}.bin ${kernel_entry} "${code}")
  korvane_ms_image(worker_image${suffix}.bin ${worker_entry} "${code}")
endfunction()

korvane_ms_images(avx2 "" "" "${KORVANE_AVX2_SOURCES}")
korvane_ms_images(wide "${KORVANE_WIDE_FLAGS}" "_wide" "${KORVANE_WIDE_SOURCES}")
set(korvane_ms_image_files)
foreach(name kernel_image worker_image kernel_image_wide worker_image_wide)
  list(APPEND korvane_ms_image_files ${CMAKE_CURRENT_BINARY_DIR}/${name}.bin)
endforeach()
add_custom_target(korvane_images DEPENDS ${korvane_ms_image_files})
set(KORVANE_KERNEL_IMAGE ${CMAKE_CURRENT_BINARY_DIR}/kernel_image.bin PARENT_SCOPE)
set(KORVANE_WORKER_IMAGE ${CMAKE_CURRENT_BINARY_DIR}/worker_image.bin PARENT_SCOPE)
set(KORVANE_KERNEL_IMAGE_WIDE ${CMAKE_CURRENT_BINARY_DIR}/kernel_image_wide.bin PARENT_SCOPE)
set(KORVANE_WORKER_IMAGE_WIDE ${CMAKE_CURRENT_BINARY_DIR}/worker_image_wide.bin PARENT_SCOPE)

# The same code compiled for Windows, for the test programs that call the kernels directly.
# The entry table is assembler in ELF syntax and only the image needs it.
korvane_image_objects(kernel_code ${KORVANE_KERNEL_SOURCES} ${KORVANE_AVX2_SOURCES})
korvane_image_objects(worker_entry worker_entry.cpp)
add_library(korvane_kernels STATIC $<TARGET_OBJECTS:kernel_code> $<TARGET_OBJECTS:worker_entry>)
target_include_directories(korvane_kernels PUBLIC ${PROJECT_SOURCE_DIR})
