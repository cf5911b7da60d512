# Compiler warnings and sanitizer flags shared by every target.
add_compile_options(-Wall -Wextra)

if(OV3_SANITIZE OR OV3_FUZZ)
  set(_ov3_san -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_compile_options(${_ov3_san})
  add_link_options(${_ov3_san})
endif()

if(OV3_FUZZ)
  # Coverage instrumentation for everything the fuzz targets link.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
