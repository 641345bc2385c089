#!/bin/sh
# strip-keep-stamp.sh OBJCOPY UNSTRIPPED STRIPPED
# Writes the shipped executable from the unstripped one. binutils' strip and
# objcopy stamp their output's TimeDateStamp with the time they run (or with
# SOURCE_DATE_EPOCH), so the linker's stamp is handed over through that variable:
# both files then carry the same stamp, by which the service matches a crash
# report's module with the unstripped file kept for its symbols.
set -eu
objcopy=$1 in=$2 out=$3
pe=$(od -An -tu4 -j60 -N4 "$in" | tr -d ' ')
stamp=$(od -An -tu4 -j$((pe + 8)) -N4 "$in" | tr -d ' ')
[ "$stamp" -gt 0 ] || { echo "$in has no TimeDateStamp" >&2; exit 1; }
SOURCE_DATE_EPOCH=$stamp "$objcopy" --strip-all "$in" "$out"
