#!/usr/bin/env bash
# Writes the manual pages quorvane-cli.1 and quorvane.1 into OUTDIR. Every
# command and option of quorvane-cli(1) comes from the program's own --help
# output, so the page lists exactly what the built program accepts.
#   man_pages.sh QUORVANE_CLI OUTDIR VERSION
set -euo pipefail
cli=$1 out=$2 version=$3
mkdir -p "$out"
export LC_ALL=C QUORVANE_IMAGES_ONLY=1

# CLI11's help: "  NAME<two or more spaces>DESCRIPTION", long names put the
# description on the next line, indented; headings end in a colon.
to_roff='
function esc(s) { gsub(/\\/, "\\e", s); gsub(/-/, "\\-", s); if (s ~ /^[.'"'"']/) s = "\\&" s; return s }
/^[A-Za-z][A-Za-z ]*:$/ { next }
/^Usage: / { next }
/^ {8,}[^ ]/ { sub(/^ +/, ""); print esc($0); next }
/^  [^ ]/ {
  line = $0; sub(/^  /, "", line)
  if (match(line, /  +/)) { name = substr(line, 1, RSTART - 1); desc = substr(line, RSTART + RLENGTH) }
  else { name = line; desc = "" }
  print ".TP"; print "\\fB" esc(name) "\\fR"; if (desc != "") print esc(desc)
  next
}
'
escape() { sed -e 's/\\/\\e/g' -e 's/-/\\-/g'; }

main_help=$("$cli" --help)
summary=$(printf '%s\n' "$main_help" | sed -n 1p | sed 's/^Quorvane: //')
commands=$(printf '%s\n' "$main_help" | awk '/^Subcommands:/ { on = 1; next } on && /^  [a-z]/ { print $1 }')
[ -n "$commands" ] || { echo "man_pages.sh: no commands in $cli --help" >&2; exit 1; }

{
  echo ".TH QUORVANE\\-CLI 1 \"\" \"Quorvane $version\" \"User Commands\""
  echo ".SH NAME"
  echo "quorvane\\-cli \\- $(printf '%s' "$summary" | escape)"
  echo ".SH SYNOPSIS"
  echo ".B quorvane\\-cli"
  echo ".I COMMAND"
  echo "[\\fIOPTIONS\\fR] [\\fIARGUMENTS\\fR]"
  echo ".SH DESCRIPTION"
  cat <<'TEXT'
\fBquorvane\-cli\fR drives the recovery engines of \fBquorvane\fR(1) without a
display. It reads the source volume only; recovered files are written to the
folder named with \fB\-\-to\fR, which should be on another disk.
.PP
VOLUME and DRIVE are paths: a partition (\fI/dev/sdb1\fR), a whole drive
(\fI/dev/sdb\fR), a disk image file (\fIcard.img\fR) or a partition inside an
image (\fIcard.img#1\fR).
.PP
A drive the user may not read is opened through udisks2, which asks polkit
for the administrator password; where udisks2 is not running, through
\fBpkexec\fR(1) and a small helper that opens the device read-only. In a
terminal without a desktop password dialog, \fBpkttyagent\fR(1) asks in the
terminal. Scans never ask for write access; only the partition repair does,
when it writes. Where neither way exists, run \fBquorvane\-cli\fR with sudo.
.SH COMMANDS
TEXT
  for command in $commands; do
    help=$("$cli" "$command" --help)
    usage=$(printf '%s\n' "$help" | sed -n 's/^Usage: [^ ]*quorvane-cli //p' | sed -n 1p)
    echo ".SS \"quorvane\\-cli $(printf '%s' "$usage" | escape)\""
    printf '%s\n' "$help" | sed -n 1p | escape
    printf '%s\n' "$help" | sed 1d | awk "$to_roff"
  done
  echo ".SS \"Options of every command\""
  printf '%s\n' "$main_help" | awk '/^Options:/ { on = 1; next } /^$/ { on = 0 } on' | awk "$to_roff"
  cat <<'TEXT'
.SH EXIT STATUS
.TP
.B 0
Success.
.TP
.B 1
Some files could not be recovered.
.TP
.B 2
Bad arguments, or a device that cannot be read (the message says why).
.SH ENVIRONMENT
.TP
.B QUORVANE_IMAGES
Image files, separated by colons, opened as drives at start.
.TP
.B QUORVANE_IMAGES_ONLY
With the value 1, the machine's block devices are not listed.
.TP
.B QUORVANE_DEBUG
When set, the engines write what they do to standard output.
.SH FILES
.TP
.I /usr/share/quorvane/Quorvane.conf
The file types the deep scan carves.
.TP
.I /usr/share/quorvane/language.ini
The texts of the user interface in every language.
.SH SEE ALSO
\fBquorvane\fR(1), \fBudisksctl\fR(1), \fBpkexec\fR(1), \fBpkttyagent\fR(1)
TEXT
} >"$out/quorvane-cli.1"

{
  echo ".TH QUORVANE 1 \"\" \"Quorvane $version\" \"User Commands\""
  cat <<'TEXT'
.SH NAME
quorvane \- find and recover deleted files on disks, USB sticks and memory cards
.SH SYNOPSIS
.B quorvane
.SH DESCRIPTION
\fBquorvane\fR is a desktop program that finds deleted and lost files on FAT,
exFAT and NTFS volumes, whole drives and disk images, shows them as a folder
tree and a file table with a preview, and copies the ticked files to a safe
folder. It never writes to the volume it recovers from.
.PP
The home page starts a scan or resumes a saved deep scan. The volume list
picks what to scan; a volume marked \(lqpassword needed\(rq is read after the
administrator password is given (udisks2 and polkit ask when the scan starts).
The results page shows what was found; a deep scan searches the whole volume
for files by their content. The partition page searches a whole drive for
lost partitions and can write them back as its partition table, after saving
the sector it replaces.
.PP
The program takes no options of its own besides those of every Qt program
(such as \fB\-platform\fR). \fBquorvane\-cli\fR(1) does the same work from a
terminal.
.SH ENVIRONMENT
.TP
.B QUORVANE_IMAGES
Image files, separated by colons, opened as drives at start.
.TP
.B QUORVANE_IMAGES_ONLY
With the value 1, the machine's block devices are not listed.
.SH FILES
.TP
.I ~/.config/Quorvane/Quorvane.ini
The chosen language.
.TP
.I /usr/share/quorvane/
The texts, the deep-scan file types and the manual.
.SH SEE ALSO
\fBquorvane\-cli\fR(1), \fBudisksctl\fR(1)
TEXT
} >"$out/quorvane.1"
