# kvx_stamp_version(<target> FILE_VERSION <text> [INTERNAL_NAME <name>] [ORIGINAL_FILE_NAME <name>] [NO_RECORD])
# Placeholder until the platform's version records land.
function(kvx_stamp_version target)
endfunction()
