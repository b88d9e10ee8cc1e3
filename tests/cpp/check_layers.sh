#!/bin/sh
# Usage: check_layers.sh NM CORE_DIR "LAYER..." [LAYER=OBJECT[;OBJECT...]]...
# Fails when a core folder depends on one after it in the list of layers: a
# file that includes such a folder's header (or a header outside core/), or,
# for the objects given, one that uses a function or variable that only such a
# folder defines (a header may declare what a layer above defines, which no
# include shows).
nm_tool=$1
core_dir=$2
layers=$3
shift 3
status=0
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT

# Prints "file:line: what" for every include of a folder above the file's own.
for layer in $layers; do
  [ -d "$core_dir/$layer" ] || echo "$core_dir/$layer: no such folder"
  for file in "$core_dir/$layer"/*.h "$core_dir/$layer"/*.cpp; do
    [ -f "$file" ] || continue
    grep -n '^[[:space:]]*#[[:space:]]*include' "$file" |
      sed -n 's/^\([0-9]*\):[^"<]*["<]\([^">]*\)[">].*/\1 \2/p' |
      awk -v layers="$layers" -v layer="$layer" -v file="core/$layer/${file##*/}" '
        BEGIN { n = split(layers, order, " "); for (i = 1; i <= n; i++) rank[order[i]] = i }
        $2 ~ /^core\// {
          split($2, part, "/")
          if (!(part[2] in rank)) print file ":" $1 ": includes \"" $2 "\", in no layer folder (" layers ")"
          else if (rank[part[2]] > rank[layer]) print file ":" $1 ": includes \"" $2 "\": " part[2] " is above " layer
        }
        $2 ~ /^(backend|python|tests|bench)\// { print file ":" $1 ": includes \"" $2 "\", from outside core/" }'
  done
done > "$tmp/includes"
if [ -s "$tmp/includes" ]; then
  cat "$tmp/includes"
  status=1
fi

# Strong symbols only: an inline function's weak copies come with a header,
# which the includes above already cover.
defs=$tmp/defs
: > "$defs"
for arg in "$@"; do
  for obj in $(printf '%s\n' "${arg#*=}" | tr ';' ' '); do
    if ! "$nm_tool" -C --defined-only "$obj" > "$tmp/one"; then
      echo "cannot read $obj with $nm_tool"
      status=1
    fi
    awk -v layer="${arg%%=*}" '$2 ~ /^[TDBRGS]$/ { $1 = ""; $2 = ""; sub(/^ +/, ""); print layer "\t" $0 }' \
      "$tmp/one" >> "$defs"
  done
done
# A check of no objects proves nothing about them; say so rather than pass quietly.
if [ $# -gt 0 ] && [ ! -s "$defs" ]; then
  echo "no symbols read from the objects given"
  status=1
fi

for arg in "$@"; do
  layer=${arg%%=*}
  for obj in $(printf '%s\n' "${arg#*=}" | tr ';' ' '); do
    "$nm_tool" -C --undefined-only "$obj" |
      awk -F '\t' -v layers="$layers" -v layer="$layer" -v file="core/$layer/${obj##*/}" '
        BEGIN { n = split(layers, order, " "); for (i = 1; i <= n; i++) rank[order[i]] = i }
        NR == FNR { from[$2] = $1; next }
        {
          sub(/^ *U +/, ""); gsub(/ +/, " ")
          if ($0 in from && rank[from[$0]] > rank[layer]) {
            print substr(file, 1, length(file) - 2) ": uses " $0 ", defined in " from[$0] " (above " layer ")"
            bad = 1
          }
        }
        END { exit bad }' "$defs" - || status=1
  done
done

[ $status -eq 0 ] && echo "no core folder depends on one above it ($layers; $# object list(s))"
exit $status
