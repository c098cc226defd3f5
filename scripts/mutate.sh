#!/usr/bin/env bash
# The mutation check: plants each fault of scripts/mutations.txt in turn in a
# scratch copy of the tree, builds it and runs the tests that should catch
# it, then prints caught or missed for each and the score. Not part of
# test.sh: a full run takes a while (one incremental build a fault).
#   scripts/mutate.sh [PATTERN]   only the faults whose name matches it (an
#                                 extended regular expression: a word, or
#                                 'halt|stall' for either)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=${MUTATE_DIR:-/tmp/norvikcam-mutate}
only=${1:-}
mkdir -p "$scratch/src"
tar -C "$root" --exclude='./build*' --exclude=./.git --exclude=./out -cf - . | tar -C "$scratch/src" -xmf -
cmake -S "$scratch/src" -B "$scratch/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVIK_BENCH=OFF >/dev/null
cmake --build "$scratch/build" >/dev/null || { echo "the unmutated tree does not build"; exit 1; }
caught=0 missed=0 skipped=0
missedNames=()
began=$SECONDS
trim() { local s=$1; s=${s#"${s%%[![:space:]]*}"}; echo "${s%"${s##*[![:space:]]}"}"; }
while IFS='~' read -r name file old new tests; do
  name=$(trim "$name")
  [[ -z "$name" || "$name" == \#* ]] && continue
  [[ -n "$only" && ! "$name" =~ $only ]] && continue
  file=$(trim "$file"); old=$(trim "$old"); new=$(trim "$new"); tests=$(trim "$tests")
  target="$scratch/src/$file"
  cp "$target" "$scratch/original"
  OLD="$old" NEW="$new" perl -0pi -e 's/\Q$ENV{OLD}\E/$ENV{NEW}/' "$target"
  if cmp -s "$target" "$scratch/original"; then
    echo "not applied: $name (text not found in $file)"
    skipped=$((skipped + 1))
    continue
  fi
  verdict=missed
  faultBegan=$SECONDS
  if ! cmake --build "$scratch/build" >/dev/null 2>&1; then
    verdict="does not build"
  else
    for t in $tests; do
      bin=${t%%:*}; filter=*
      [[ "$t" == *:* ]] && filter=${t#*:}
      if [ "$bin" = ctest ]; then
        # ctest:REGEX: the suite's tests of that name (the Python package's, say)
        if ! timeout 900 ctest --test-dir "$scratch/build" -R "$filter" --stop-on-failure </dev/null >/dev/null 2>&1; then
          verdict=caught; break
        fi
      # The first failing test is enough: the rest would only wait out their
      # bounds on a camera the fault has broken.
      elif ! timeout 600 "$scratch/build/tests/$bin" --gtest_filter="$filter" --gtest_fail_fast </dev/null >/dev/null 2>&1; then
        verdict=caught; break
      fi
    done
  fi
  cp "$scratch/original" "$target"
  touch "$target"
  case $verdict in
    caught) caught=$((caught + 1)) ;;
    missed) missed=$((missed + 1)); missedNames+=("$name") ;;
    *) skipped=$((skipped + 1)) ;;
  esac
  printf '%-34s %-15s %4d s\n' "$name" "$verdict" $((SECONDS - faultBegan))
done < "$root/scripts/mutations.txt"
cmake --build "$scratch/build" >/dev/null 2>&1
total=$((caught + missed))
echo "caught $caught of $total planted faults ($(( total > 0 ? caught * 100 / total : 0 ))%), $skipped not applied or not building, in $(( (SECONDS - began) / 60 )) min"
for m in "${missedNames[@]}"; do echo "missed: $m"; done
