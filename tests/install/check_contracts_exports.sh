#!/usr/bin/env bash
# Checks that libnorv-contracts.so exports the generated contract code and
# nothing else, and that libnorv-platform.so holds no copy of it but loads
# this one: a second copy in a process aborts at load.
#   check_contracts_exports.sh LIBNORV_CONTRACTS LIBNORV_PLATFORM
set -euo pipefail
lib=$1 platform=$2
symbols=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TWVDBRiu]$/ {print $3}' | c++filt)
# Allowed: the names of norv::contracts::v1 (with return types where the
# demangler prints them), their vtables and type information, protobuf's
# arena factories for them, and each file's descriptor table.
allowed='^((typeinfo|typeinfo name|vtable) for )?(norv::contracts::v1::|norv::contracts::v1::[A-Za-z]+\* google::protobuf::Arena::CreateMaybeMessage<norv::contracts::v1::|(descriptor_table|TableStruct)_norv_2fcontracts_2fv1_2f)'
unexpected=$(printf '%s\n' "$symbols" |
  { grep -v -E "$allowed" || true; } |
  { grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' || true; })
if [ -n "$unexpected" ]; then
  echo "unexpected exported symbols in $lib:"; printf '%s\n' "$unexpected" | sort -u | head -50
  exit 1
fi
expected=(
  'typeinfo for norv::contracts::v1::DateTime'
  'norv::contracts::v1::Fault::Fault('
  'norv::contracts::v1::DataService::NewStub('
  'norv::contracts::v1::DataService::Service::Service()'
  'norv::contracts::v1::ApplicationLauncher::Stub::Stub('
  'norv::contracts::v1::Shutdown::Service::Session('
  'google::protobuf::Arena::CreateMaybeMessage<norv::contracts::v1::ClientMessage>('
  'descriptor_table_norv_2fcontracts_2fv1_2ftypes_2eproto'
)
for e in "${expected[@]}"; do
  if ! grep -q -F -- "$e" <<<"$symbols"; then
    echo "missing export in $lib: $e"; exit 1
  fi
done
# The platform loads this library and defines none of its names, not even
# hidden ones: the descriptor tables are what registers a file at load.
needed=$(readelf -d "$platform")
if ! grep -q -F '[libnorv-contracts.so.0]' <<<"$needed"; then
  echo "$platform does not load libnorv-contracts.so.0"; exit 1
fi
copies=$(nm --defined-only "$platform" 2>/dev/null | grep -E 'descriptor_table_norv_|_default_instance_' || true)
if [ -n "$copies" ]; then
  echo "$platform holds its own copy of the generated contract code:"; printf '%s\n' "$copies" | head
  exit 1
fi
echo "exports ok: $(printf '%s\n' "$symbols" | wc -l) symbols"
