#!/usr/bin/env bash
# Checks that libnorv-platform.so exports its declared API and nothing else:
# no internal or testing namespace, no generated contract code, no gRPC or
# protobuf instantiation, nothing outside the Norv namespaces.
set -euo pipefail
lib=$1
symbols=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TWVDBRiu]$/ {print $3}' | c++filt)
# Allowed: the Norv namespaces of the declared API, with their type
# information and vtables, and the standard library's instantiations that
# the compiler emits for them (std::map<std::string, long>, a shared_ptr's
# control block) or that name them (GetSingleChannel returns a shared_ptr).
prefix='^((typeinfo|typeinfo name|vtable|VTT|construction vtable|guard variable) for |(non-)?virtual thunk to |[a-z][a-z ]* |std::[^ ]* )?'
namespaces='Norv::(ServiceModel|Text|PreferredTDList|IO|Security)::|Norv::ServiceString::|std::'
unexpected=$(printf '%s\n' "$symbols" |
  { grep -v -E "${prefix}(${namespaces})" || true; } |
  { grep -v -E '^(_init|_fini|_edata|_end|__bss_start)$' || true; })
# Never: internals, test seams, gRPC or protobuf (the generated contract code
# included), whatever wraps them.
leaked=$(printf '%s\n' "$symbols" |
  { grep -E '::(internal|testing)::|grpc|google::protobuf|norv::contracts|absl::|re2::' || true; })
if [ -n "$unexpected$leaked" ]; then
  echo "unexpected exported symbols in $lib:"; printf '%s\n' "$unexpected" "$leaked" | sort -u
  exit 1
fi
expected=(
  'Norv::ServiceModel::NamedPipeServiceHost::Open()'
  'Norv::ServiceModel::NamedPipeServiceHost::SetTimeouts('
  'Norv::ServiceModel::ShutdownClient::ShutdownClient('
  'Norv::ServiceModel::DuplexChannelFactory<Norv::ServiceModel::Contracts::Service::IShutdown>::CreateChannel('
  'typeinfo for Norv::ServiceModel::EndpointNotFoundException'
  'typeinfo for Norv::ServiceModel::FaultException'
  'typeinfo for Norv::Text::TextConfigurationError'
  'Norv::Text::SetCurrentCulture('
  'Norv::Text::CurrentCultureName[abi:cxx11]()'
  'Norv::PreferredTDList::PreferredTDListFile::GetPreferredTDList() const'
  'Norv::IO::AuthorSettings::Default()'
  'Norv::Security::CustomPassword::EncryptPassword('
  'Norv::ServiceString::FromUtf8('
  'Norv::ServiceModel::ListEndpoints('
  'Norv::ServiceModel::ReadShutdownRegistry('
  'Norv::ServiceModel::ShutdownAnswerName('
  'Norv::ServiceModel::SetDiagnosticsHandler('
  'Norv::ServiceModel::ReportDiagnostic('
  'Norv::ServiceModel::DiagnosticsEnabled()'
  'Norv::ServiceModel::DiagnosticsDropped()'
  'Norv::ServiceModel::DiagnosticKindName('
  'Norv::ServiceModel::OperationContext::Peer() const'
  'typeinfo for Norv::ServiceModel::IShutdownRegistryView'
)
for e in "${expected[@]}"; do
  # A here-string, not a pipe: grep -q leaves at the first match, and under
  # pipefail the writer's SIGPIPE would turn a found symbol into a failure.
  if ! grep -q -F -- "$e" <<<"$symbols"; then
    echo "missing export in $lib: $e"; exit 1
  fi
done
echo "exports ok: $(printf '%s\n' "$symbols" | wc -l) symbols"
