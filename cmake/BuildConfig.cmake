# Service addresses and release constants, fixed at build time and read from one generated header.
set(VORLANTA_BUILD_NUMBER "1" CACHE STRING "Build number shown as the bundle version")
set(VORLANTA_BUNDLE_IDENTIFIER "com.vorlanta.creator" CACHE STRING "Application identifier")
set(VORLANTA_BUNDLE_NAME "Vorlanta Creator" CACHE STRING "Application name")

option(VORLANTA_USE_SANDBOX "Point every service address at the local vorlanta-sandbox" OFF)
set(VORLANTA_SANDBOX_PORT "8765" CACHE STRING "Port of vorlanta-sandbox when VORLANTA_USE_SANDBOX is on")
# Test builds point every address at a sandbox that a test starts on this port, so that the
# built programs can be driven end to end (sign-in, uploads, updates) on one machine.
set(VORLANTA_TEST_SERVICE_PORT "" CACHE STRING "When set (without the sandbox option), the service is http://127.0.0.1:PORT/")

if(VORLANTA_USE_SANDBOX OR NOT VORLANTA_TEST_SERVICE_PORT STREQUAL "")
    set(_port "${VORLANTA_SANDBOX_PORT}")
    if(NOT VORLANTA_USE_SANDBOX)
        set(_port "${VORLANTA_TEST_SERVICE_PORT}")
    endif()
    set(_origin "http://127.0.0.1:${_port}")
    set(_api "${_origin}/")
    set(_web "${_origin}/")
    set(_domain "127.0.0.1")
    set(_download "${_origin}/")
else()
    set(_api "https://api.vorlanta.example/")
    set(_web "https://app.vorlanta.example/")
    set(_domain "vorlanta.example")
    set(_download "https://download.vorlanta.example/")
endif()

# An address the user set (-D, or changed in the cache) is kept. One still holding the default
# derived last time (or none) follows the sandbox options, so switching them re-derives it.
function(vorlanta_address name value description)
    set(${name} "${value}" CACHE STRING "${description}")
    if("${${name}}" STREQUAL "" OR "${${name}}" STREQUAL "${_VORLANTA_DERIVED_${name}}")
        set(${name} "${value}" CACHE STRING "${description}" FORCE)
    endif()
    set(_VORLANTA_DERIVED_${name} "${value}" CACHE INTERNAL "")
endfunction()
vorlanta_address(VORLANTA_API_BASE_URL "${_api}" "API base URL (with trailing /)")
vorlanta_address(VORLANTA_WEB_APP_ROOT "${_web}" "Web application root URL (with trailing /)")
vorlanta_address(VORLANTA_WEB_DOMAIN "${_domain}" "Registrable web domain of the service")
vorlanta_address(VORLANTA_DOWNLOAD_SITE "${_download}" "Download site base URL (with trailing /)")
set(VORLANTA_MANIFEST_PATH "version-linux" CACHE STRING "Release manifest path on the download site")
set(VORLANTA_UPDATE_PUBLIC_KEY "" CACHE STRING "Ed25519 public key (hex) that release bundles are signed with")
# A malformed key would only show when the first update is refused; fail the configure instead.
if(NOT VORLANTA_UPDATE_PUBLIC_KEY STREQUAL "")
    string(LENGTH "${VORLANTA_UPDATE_PUBLIC_KEY}" _key_length)
    if(NOT _key_length EQUAL 64 OR NOT VORLANTA_UPDATE_PUBLIC_KEY MATCHES "^[0-9a-fA-F]+$")
        message(FATAL_ERROR "VORLANTA_UPDATE_PUBLIC_KEY must be 64 hex digits (or empty)")
    endif()
endif()

set(VORLANTA_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")
configure_file("${CMAKE_SOURCE_DIR}/cmake/BuildConfig.h.in" "${VORLANTA_GENERATED_DIR}/BuildConfig.h" @ONLY)
