# Seals engine/templates/CompatBundled.json into generated/CompatBundledData.h at build time.
add_executable(loomwork-compatseal ${PROJECT_SOURCE_DIR}/tools/compatseal/CompatSeal.cpp)
target_include_directories(loomwork-compatseal PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(loomwork-compatseal PRIVATE OpenSSL::Crypto)

set(COMPAT_BUNDLED_HEADER ${CMAKE_CURRENT_BINARY_DIR}/generated/CompatBundledData.h)
add_custom_command(
  OUTPUT ${COMPAT_BUNDLED_HEADER}
  COMMAND loomwork-compatseal ${CMAKE_CURRENT_SOURCE_DIR}/engine/templates/CompatBundled.json ${COMPAT_BUNDLED_HEADER}
  DEPENDS loomwork-compatseal ${CMAKE_CURRENT_SOURCE_DIR}/engine/templates/CompatBundled.json
          ${CMAKE_CURRENT_SOURCE_DIR}/engine/templates/CompatBundledKey.h
  COMMENT "Sealing the built-in compatibility table"
  VERBATIM)
target_sources(loomwork_services PRIVATE ${COMPAT_BUNDLED_HEADER})
