# Shared compile options: every target of the project links quillo_options.
add_library(quillo_options INTERFACE)
target_compile_features(quillo_options INTERFACE cxx_std_20)
set_target_properties(quillo_options PROPERTIES INTERFACE_CXX_EXTENSIONS OFF)
target_compile_options(quillo_options INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow=local -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual
    $<$<BOOL:${QUILLO_WERROR}>:-Werror>)
target_compile_definitions(quillo_options INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_URL_CAST_FROM_STRING
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_CONTEXTLESS_CONNECT
    QT_NO_FOREACH
    QT_USE_QSTRINGBUILDER
    $<$<BOOL:${QUILLO_WERROR}>:_GLIBCXX_ASSERTIONS>
    $<$<BOOL:${QUILLO_WERROR}>:QT_FORCE_ASSERTS>)
target_include_directories(quillo_options INTERFACE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
if(QUILLO_SANITIZE)
    target_compile_options(quillo_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(quillo_options INTERFACE -fsanitize=address,undefined)
endif()
