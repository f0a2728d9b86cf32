# korvane_check_blob(FILE SHA256_FILE): stops the configure step when a committed data file
# does not match its recorded SHA-256 (a damaged or half-regenerated file never reaches the
# program), and re-runs configure when either file changes.
function(korvane_check_blob file sha_file)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file} ${sha_file})
  file(SHA256 ${file} digest)
  file(READ ${sha_file} digest_line)
  string(SUBSTRING "${digest_line}" 0 64 expected)
  if(NOT digest STREQUAL expected)
    file(RELATIVE_PATH name ${PROJECT_SOURCE_DIR} ${file})
    message(FATAL_ERROR "${name} has SHA-256 ${digest}, ${name}.sha256 says ${expected}")
  endif()
endfunction()

# korvane_embed_blob(TEMPLATE BLOB VAR OUT): checks BLOB against BLOB.sha256, sets VAR to its
# path (the template's .incbin reads @VAR@) and configures TEMPLATE (a .S.in) into the
# current binary folder; OUT names the generated assembly file, which is rebuilt when the
# blob changes.
function(korvane_embed_blob template blob var out)
  korvane_check_blob(${blob} ${blob}.sha256)
  set(${var} ${blob})
  string(REGEX REPLACE "\\.in$" "" generated ${template})
  configure_file(${template} ${CMAKE_CURRENT_BINARY_DIR}/${generated} @ONLY)
  set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/${generated} PROPERTIES OBJECT_DEPENDS ${blob})
  set(${out} ${CMAKE_CURRENT_BINARY_DIR}/${generated} PARENT_SCOPE)
endfunction()
