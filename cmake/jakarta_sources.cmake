# Writes the Jakarta Mail 2 form of Java sources: the same code with the javax.mail and
# javax.activation packages renamed to jakarta.mail and jakarta.activation (Jakarta Mail 2
# is javax.mail 1.6 under the new package names).
#
#   cmake -DFROM=dir -DTO=dir -DFILES=a.java|b.java -P jakarta_sources.cmake
#
# FILES are relative to FROM; each is written to the same place under TO, and only when its
# text changes, so javac runs again only for what changed.
string(REPLACE "|" ";" FILES "${FILES}")
foreach(file IN LISTS FILES)
  file(READ "${FROM}/${file}" text)
  string(REGEX REPLACE "javax\\.(mail|activation)([^a-zA-Z0-9_])" "jakarta.\\1\\2" text "${text}")
  set(out "${TO}/${file}")
  set(old "")
  if(EXISTS "${out}")
    file(READ "${out}" old)
  endif()
  if(NOT old STREQUAL text)
    file(WRITE "${out}" "${text}")
  endif()
endforeach()
