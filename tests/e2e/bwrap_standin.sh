#!/usr/bin/env bash
# Stands in for bubblewrap where the system lets it make no sandbox (in a chroot no new
# user namespace may be made, and bwrap needs one): the command the thumbnail factory
# gives bwrap runs with the files bwrap would have bound for it (the figure, read-only,
# and the output folder as /tmp) named by their own paths, and without a network.
# Everything else the factory asks of the sandbox is left out.
set -euo pipefail
figure_box="" figure="" outdir=""
while [ $# -gt 0 ]; do
    case "$1" in
    --ro-bind | --ro-bind-try | --bind | --symlink)
        case "$3" in
        /tmp) outdir=$2 ;;
        /tmp/gnome-desktop-file-to-thumbnail.*) figure=$2 figure_box=$3 ;;
        esac
        shift 3 ;;
    --setenv) export "$2=$3"; shift 3 ;;
    --proc | --dev | --chdir | --seccomp) shift 2 ;;
    --*) shift ;;
    *) break ;;
    esac
done
[ -n "$figure" ] && [ -n "$outdir" ] || { echo "bwrap stand-in: no figure or output folder" >&2; exit 1; }
command=()
for arg in "$@"; do
    case "$arg" in
    "$figure_box") arg=$figure ;;
    /tmp/*) arg=$outdir/${arg#/tmp/} ;;
    esac
    command+=("$arg")
done
exec unshare -n "${command[@]}"
