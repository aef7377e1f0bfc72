# Turns texts.def (C++ wide literals) into the same macro list in the resource compiler's string
# syntax: windres takes UTF-8 only in narrow literals (its L"" reads each byte as a character),
# and it writes an embedded quote as "" rather than \".
#   cmake -DINPUT=texts.def -DOUTPUT=texts.rc.inc -P TextsToRc.cmake
file(READ "${INPUT}" texts)
string(REGEX REPLACE "([ ,(])L\"" "\\1\"" texts "${texts}")
string(REPLACE "\\\"" "\"\"" texts "${texts}")
file(WRITE "${OUTPUT}.tmp" "${texts}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
