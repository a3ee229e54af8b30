#!/usr/bin/env bash
# Checks that libnorv-interop.so exports the bridge interface and nothing else.
set -euo pipefail
lib=$1
symbols=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TWVDBR]$/ {print $3}' | c++filt)
allowed='^(Norv::MirnDataService::Interop::MirnDataService::|Norv::Halvane::Interop::Halvane::|Norv::ServiceModel::Interop::ShutdownFactory::|Norv::IO::Interop::SetAuthorPath\(|Norv::Interop::EncryptPassword(\[abi:cxx11\])?\()'
# Version nodes the linker adds are not symbols of ours.
unexpected=$(printf '%s\n' "$symbols" | grep -v -E "$allowed" | grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' || true)
if [ -n "$unexpected" ]; then
  echo "unexpected exported symbols in $lib:"; printf '%s\n' "$unexpected"; exit 1
fi
expected=(
  'Norv::MirnDataService::Interop::MirnDataService::LogOn('
  'Norv::MirnDataService::Interop::MirnDataService::GetForecastLifeList('
  'Norv::MirnDataService::Interop::MirnDataService::SaveExistingPreferredTDList('
  'Norv::MirnDataService::Interop::MirnDataService::operator='
  'Norv::Halvane::Interop::Halvane::LaunchOrbisk('
  'Norv::Halvane::Interop::Halvane::operator='
  'Norv::ServiceModel::Interop::ShutdownFactory::StartShutdownService('
  'Norv::ServiceModel::Interop::ShutdownFactory::operator='
  'Norv::IO::Interop::SetAuthorPath(char const*)'
  'Norv::Interop::EncryptPassword[abi:cxx11](char*)'
)
for e in "${expected[@]}"; do
  if ! grep -q -F -- "$e" <<<"$symbols"; then
    echo "missing export in $lib: $e"; exit 1
  fi
done
echo "exports ok: $(printf '%s\n' "$symbols" | wc -l) symbols"
