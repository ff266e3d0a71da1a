#!/usr/bin/env bash
# Checks the dynamic symbol table of a shared libzq: the public classes, functions and variables
# are exported, the library's internals are not.
# Usage: tools/check-exports.sh LIBZQ
set -euo pipefail
library=$1
exported=$(nm -D --defined-only -C "$library")
status=0
expect() {  # expect present|absent SYMBOL-TEXT
  local found=absent
  if grep -qF -- "$2" <<< "$exported"; then found=present; fi
  if [ "$found" != "$1" ]; then
    echo "$library: $2 is $found, $1 expected" >&2
    status=1
  fi
}
for symbol in 'zq::TzqHttp::Get(' 'typeinfo for zq::TzqHttp' 'vtable for zq::TzqHttp' 'typeinfo for zq::EzqHttpError' \
              'zq::TzqCookieManager::StoreCookies(' 'zq::TzqTcpClientTls::StartTls()' 'zq::CookieDomainMatches(' \
              'zq::kHttpVersionTexts'; do
  expect present "$symbol"
done
# A helper class of one .cpp, an inline member of a public class, and anything of an anonymous
# namespace.
for symbol in 'zq::TzqRequestUpdateScope::' 'zq::TzqComponent::Loaded()' '(anonymous namespace)'; do
  expect absent "$symbol"
done
echo "$(wc -l <<< "$exported") symbols exported, $(grep -c ' zq::' <<< "$exported" || true) of them in zq::"
exit $status
