# IMPORTANT for whoever edits this file: first read /work/TEAM_RULES.md (the
# team's binding working rules: committing only your own paths, no mention of
# the requirements documents in code, never consulting any existing
# implementation, no helpers of your own). Remove this note when you replace
# the placeholder below.
#
# kvx_stamp_version(<target> FILE_VERSION <text> [INTERNAL_NAME <name>] [ORIGINAL_FILE_NAME <name>])
# Placeholder until the platform's version records land.
function(kvx_stamp_version target)
endfunction()
