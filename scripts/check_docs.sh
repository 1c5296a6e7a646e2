#!/usr/bin/env bash
# Checks the documentation: every relative link and picture in README.md and
# docs/*.md names a file that exists, a link to a heading (page.md#heading or
# #heading) names a heading of that page (the anchors GitHub makes), and
# README.md stays under 200 lines. Prints each broken link with its file and
# line and exits 1 when there is one; links inside code are not links.
#
#   bash scripts/check_docs.sh [ROOT]     (ROOT: the work tree, default this one)
set -euo pipefail
root=${1:-"$(dirname "$0")/.."}
cd "$root"

status=0
if [ ! -f README.md ]; then
  echo "check_docs: no README.md in $(pwd)" >&2
  exit 1
fi
readme_lines=$(wc -l < README.md)
if [ "$readme_lines" -ge 200 ]; then
  echo "check_docs: README.md has $readme_lines lines; keep it under 200 and move the rest to docs/" >&2
  status=1
fi

shopt -s nullglob
pages=(README.md docs/*.md)

# perl is part of every Debian system (perl-base); this needs no module.
perl - "${pages[@]}" <<'PERL' || status=1
use strict;
use warnings;
binmode STDOUT, ":utf8";
binmode STDERR, ":utf8";

my %anchor_cache;
my $failures = 0;
my $links = 0;

sub slurp {
    my ($path) = @_;
    open(my $fh, "<", $path) or return undef;
    local $/;
    my $text = <$fh>;
    close $fh;
    utf8::decode($text);
    return $text;
}

# Which lines are code: fenced blocks, and indented blocks (an indented line
# starts one only after a blank line; right after text it continues that
# paragraph or list item).
sub code_lines {
    my @lines = @_;
    my @code;
    my ($fence, $indented, $previous_blank) = ("", 0, 1);
    for my $line (@lines) {
        my $blank = $line =~ /^\s*$/;
        my $is_code = 0;
        if ($fence ne "") {
            $fence = "" if $line =~ /^ {0,3}\Q$fence\E[`~]*\s*$/;
            $is_code = 1;
        } elsif ($line =~ /^ {0,3}(`{3,}|~{3,})/) {
            ($fence, $is_code) = ($1, 1);
        } elsif ($line =~ /^(?: {4}|\t)/ && !$blank && ($indented || $previous_blank)) {
            ($indented, $is_code) = (1, 1);
        } elsif (!$blank) {
            $indented = 0;
        }
        $previous_blank = $blank;
        push @code, $is_code;
    }
    return @code;
}

# The text with code blocks and code spans blanked out; newlines stay, so an
# offset still gives its line.
sub mask_code {
    my ($text) = @_;
    my @lines = split /\n/, $text, -1;
    my @code = code_lines(@lines);
    for my $k (0 .. $#lines) { $lines[$k] = " " x length $lines[$k] if $code[$k]; }
    $text = join "\n", @lines;
    # Code spans may run over a line break, never over a blank line.
    $text =~ s{(?<!`)(`+)(?!`)((?:(?!\n[ \t]*\n).)+?)(?<!`)\1(?!`)}{my $s = "$1$2$1"; $s =~ s/[^\n]/ /g; $s}gse;
    return $text;
}

# The anchors of a page's headings as GitHub makes them: the heading's text
# in lower case, punctuation and markup dropped, blanks made hyphens; a
# repeated anchor gets -1, -2, ...
sub anchors {
    my ($path) = @_;
    return $anchor_cache{$path} if exists $anchor_cache{$path};
    my %anchors;
    my $text = slurp($path);
    if (defined $text) {
        my @lines = split /\n/, $text, -1;
        my @code = code_lines(@lines);
        my %seen;
        for my $k (0 .. $#lines) {
            next if $code[$k];
            next unless $lines[$k] =~ /^ {0,3}#{1,6}[ \t]+(.*?)(?:[ \t]+#+)?[ \t]*$/;
            my $title = $1;
            $title =~ s/!?\[([^\]]*)\]\([^)]*\)/$1/g;   # link and picture texts
            $title =~ s/<[^>]*>//g;                      # HTML tags
            my $anchor = lc $title;
            $anchor =~ s/[^\w\- ]//g;
            $anchor =~ s/ /-/g;
            my $unique = $seen{$anchor} ? "$anchor-$seen{$anchor}" : $anchor;
            $seen{$anchor}++;
            $anchors{$unique} = 1;
        }
    }
    return $anchor_cache{$path} = \%anchors;
}

sub folder_of {
    my ($path) = @_;
    return $path =~ m{^(.*)/[^/]*$} ? $1 : ".";
}

sub normalise {
    my ($path) = @_;
    my @parts;
    for my $part (split m{/}, $path) {
        next if $part eq "" || $part eq ".";
        if ($part eq ".." && @parts && $parts[-1] ne "..") { pop @parts; next; }
        push @parts, $part;
    }
    return @parts ? join("/", @parts) : ".";
}

sub fail {
    my ($file, $line, $target, $why) = @_;
    print STDERR "check_docs: $file:$line: $target: $why\n";
    $failures++;
}

for my $file (@ARGV) {
    my $text = slurp($file);
    unless (defined $text) { fail($file, 0, $file, "cannot be read"); next; }
    my $masked = mask_code($text);
    my @found;
    # Inline links and pictures: [text](target "title"), ![alt](target); the
    # text may run over lines.
    while ($masked =~ m{!?\[((?:[^\[\]]|\[[^\[\]]*\])*)\]\(\s*(<[^>\n]*>|[^\s()]*(?:\([^\s()]*\)[^\s()]*)*)(?:\s+(?:"[^"]*"|'[^']*'|\([^)]*\)))?\s*\)}g) {
        push @found, [$2, $-[0]];
    }
    # Link reference definitions: [name]: target
    while ($masked =~ m{^ {0,3}\[[^\]]+\]:[ \t]*(<[^>\n]*>|\S+)}mg) {
        push @found, [$1, $-[0]];
    }
    for my $link (sort { $a->[1] <=> $b->[1] } @found) {
        my ($target, $offset) = @$link;
        my $line = 1 + (() = substr($masked, 0, $offset) =~ /\n/g);
        $target =~ s/^<(.*)>$/$1/;
        $links++;
        if ($target eq "") { fail($file, $line, "()", "the link names nothing"); next; }
        next if $target =~ m{^[A-Za-z][A-Za-z0-9+.\-]*:} || $target =~ m{^//};   # URLs, mailto:
        my ($path, $anchor) = $target =~ /^([^#]*)(?:#(.*))?$/s;
        $path =~ s/%([0-9A-Fa-f]{2})/chr(hex $1)/ge;
        my $resolved = $path eq "" ? $file
                     : $path =~ m{^/} ? normalise(substr($path, 1))
                     : normalise(folder_of($file) . "/" . $path);
        my $on_disk = $resolved;
        utf8::encode($on_disk);
        if ($path ne "" && !-e $on_disk) {
            fail($file, $line, $target, "no such file ($resolved)");
            next;
        }
        next unless defined $anchor && $anchor ne "";
        if ($resolved !~ /\.md$/i || -d $on_disk) {
            fail($file, $line, $target, "$resolved is not a Markdown page, so it has no headings to link to");
            next;
        }
        $anchor =~ s/%([0-9A-Fa-f]{2})/chr(hex $1)/ge;
        utf8::decode($anchor);
        fail($file, $line, $target, "$resolved has no heading with the anchor #$anchor")
            unless anchors($resolved)->{lc $anchor};
    }
}
if ($failures) {
    print STDERR "check_docs: $failures broken link(s)\n";
    exit 1;
}
print "check_docs: " . scalar(@ARGV) . " pages, $links links, all resolve\n";
PERL

exit "$status"
