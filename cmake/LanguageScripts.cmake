# The texts of a program part that carries every language in itself: one
# script per language in its lang/ folder, a new language being a new file
# there. ld crashes when it merges the resources of several objects, so the
# scripts reach the build as one generated script that includes them all,
# English first. Scripts named after the header (a version block) come
# before them, in the build's default language.
function(add_language_scripts target header)
  set(folder ${CMAKE_CURRENT_SOURCE_DIR}/lang)
  file(GLOB scripts CONFIGURE_DEPENDS ${folder}/*.rc)
  list(REMOVE_ITEM scripts ${folder}/1033.rc)
  set(content "")
  set(firsts "")
  foreach(first ${ARGN})
    string(APPEND content "#include \"${CMAKE_CURRENT_SOURCE_DIR}/${first}\"\n")
    list(APPEND firsts ${CMAKE_CURRENT_SOURCE_DIR}/${first})
  endforeach()
  string(APPEND content "#include \"${folder}/1033.rc\"\n")
  foreach(script ${scripts})
    string(APPEND content "#include \"${script}\"\n")
  endforeach()
  set(all ${CMAKE_CURRENT_BINARY_DIR}/languages.rc)
  file(CONFIGURE OUTPUT ${all} CONTENT "${content}" @ONLY)
  target_sources(${target} PRIVATE ${all})
  set_source_files_properties(${all} PROPERTIES
    OBJECT_DEPENDS "${folder}/1033.rc;${scripts};${CMAKE_CURRENT_SOURCE_DIR}/${header};${firsts}"
    COMPILE_FLAGS "-I${CMAKE_CURRENT_SOURCE_DIR}")
endfunction()
