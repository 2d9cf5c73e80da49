# Everything every target of ours shares: the language level, the warnings and the Qt defines
# (tidewell_build_cfg), and the sanitizers when asked for (tidewell_common_cfg), which the renderer
# program goes without: the browser engine it hosts runs as it is shipped.
add_library(tidewell_build_cfg INTERFACE)
target_compile_features(tidewell_build_cfg INTERFACE cxx_std_20)
target_compile_definitions(tidewell_build_cfg INTERFACE
    QT_NO_CAST_TO_ASCII
    QT_NO_CAST_FROM_ASCII
    QT_NO_URL_CAST_FROM_STRING
    QT_NO_CONTEXTLESS_CONNECT
    QT_NO_CAST_FROM_BYTEARRAY
    QT_USE_QSTRINGBUILDER
    QT_NO_KEYWORDS
)
target_compile_options(tidewell_build_cfg INTERFACE
    -Wall -Wextra -Wpedantic -Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual
    # A designated initializer leaves the members it does not name to their defaults, on purpose.
    -Wno-missing-field-initializers
)
if(TIDEWELL_WERROR)
    target_compile_options(tidewell_build_cfg INTERFACE -Werror)
endif()
add_library(tidewell_common_cfg INTERFACE)
target_link_libraries(tidewell_common_cfg INTERFACE tidewell_build_cfg)
if(TIDEWELL_SANITIZE)
    target_compile_options(tidewell_common_cfg INTERFACE
        -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(tidewell_common_cfg INTERFACE -fsanitize=address,undefined)
endif()
