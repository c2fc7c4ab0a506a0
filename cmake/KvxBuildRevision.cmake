# Run at build time (cmake -P): writes OUTPUT, the source that names the
# program's version and the commit it was built from, and touches it only
# when its text changes, so a build without a new commit rebuilds nothing.
# Expects SOURCE_DIR, OUTPUT and VERSION. Outside a git checkout (a source
# tarball) the revision is "unknown".
execute_process(COMMAND git -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
  OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
if(failed OR revision STREQUAL "")
  set(revision unknown)
else()
  execute_process(COMMAND git -C "${SOURCE_DIR}" status --porcelain --untracked-files=no
    OUTPUT_VARIABLE changes OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT changes STREQUAL "")
    string(APPEND revision "-modified")
  endif()
endif()
file(WRITE "${OUTPUT}.new" "#include \"platform/build_info.h\"

namespace kvx {

const char* buildVersion() { return \"${VERSION}\"; }
const char* buildRevision() { return \"${revision}\"; }

}  // namespace kvx
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
