#!/usr/bin/perl
# Names the external programs that the project's files start, for scripts/check-programs.sh.
#
#   perl scripts/program-names.pl FILE...      one "program<TAB>file:line" per start found
#   perl scripts/program-names.pl --trace LOG ROOT
#                                              the programs that processes of the project (its
#                                              build's programs and tests, its scripts, the shells
#                                              they run) executed in an `strace -f` log
#
# Where a program is started, by file kind:
#   shell scripts (*.sh, a shell's #! line, .ci/run): the #! interpreter; each simple command's
#     first word (after assignments, redirections and wrappers such as exec, env, sudo, timeout,
#     xargs, stdbuf, dbus-run-session, which are programs too); `command -v`/`type`/`which`
#     probes; `sh -c`/`bash -c` texts; $(…), `…`, <(…) inside words. A command named by a
#     variable counts when the script assigns that variable a plain word (or an array whose
#     first element is one); one named by a path with a variable in it is a file of the project.
#   C++: the plain string literal (u"…"_s, QStringLiteral("…"), "…") given first to start,
#     startDetached, setProgram, execute, findExecutable, resourcePath, or to a function of the
#     project whose first parameter is `const QString &program`; what such a call hands to a
#     wrapper (dbus-run-session -- bash, sh -c "…"); every script written in a string literal
#     that begins with "#!"; every literal that is the path of a program in /bin, /sbin, /usr/bin
#     or /usr/sbin (such paths go to QUILLO_XCODEBUILD and the like).
#   CMake: find_program names; COMMAND words, through set(VAR word …) for COMMAND ${VAR}.
# Relative paths (scripts/…, build/bin/…) are the project's own files and are not listed.
use strict;
use warnings;

my %keyword = map { $_ => 1 } qw(! { } case do done elif else esac fi for function if in select then until while);
my %builtin = map { $_ => 1 } qw(. : [ alias bg break builtin caller cd compgen complete continue declare dirs disown
  echo enable eval exit export false fc fg getopts hash help history jobs kill let local logout mapfile popd printf
  pushd pwd read readarray readonly return set shift shopt source suspend test times trap true typeset ulimit umask
  unalias unset wait);
# Programs that run the program named after their options; their option words that take a value.
my %wrapper = (
    sudo => '-u -g -C -D -h -p -U', env => '-u -C -S', nice => '-n', nohup => '', timeout => '-k -s',
    xargs => '-I -n -P -d -L -s -E -a', stdbuf => '', setsid => '', 'dbus-run-session' => '--config-file',
    'xvfb-run' => '-n -s -f -e -p', flock => '-w -E', ionice => '-c -n -p', chrt => '', taskset => '',
);
my %shell = map { $_ => 1 } qw(sh bash dash);

my @found;
our $context; # the variables and functions of the script being scanned
sub found { my ($name, $where) = @_; push @found, "$name\t$where" if defined $name && length $name; }

# ---- shell ------------------------------------------------------------------------------------

# The index after the ")" that matches the "(" at $i, past quotes, comments and nested
# substitutions (a double-quoted text may hold "$(…)" with quotes of its own).
sub skip_parens {
    my ($text, $i) = @_;
    my $n = length $text;
    my $depth = 0;
    while ($i < $n) {
        my $c = substr($text, $i, 1);
        if ($c eq '\\') { $i += 2; next; }
        if ($c eq "'") { my $e = index($text, "'", $i + 1); $i = $e < 0 ? $n : $e + 1; next; }
        if ($c eq '#' && substr($text, $i - 1, 1) =~ /[\s(]/) { my $e = index($text, "\n", $i); $i = $e < 0 ? $n : $e; next; }
        if ($c eq '"') {
            $i++;
            while ($i < $n && substr($text, $i, 1) ne '"') {
                if (substr($text, $i, 1) eq '\\') { $i += 2; next; }
                if (substr($text, $i, 2) eq '$(') { $i = skip_parens($text, $i + 1); next; }
                $i++;
            }
            $i++;
            next;
        }
        $depth++ if $c eq '(';
        $depth-- if $c eq ')';
        $i++;
        return $i if $depth == 0;
    }
    return $i;
}

# Splits shell text into words and operators; each word is [text, line, literal?]. Substitutions
# inside words are scanned on their own and leave "$_" in the word.
sub shell_tokens {
    my ($text, $file, $line) = @_;
    my (@tokens, @heredocs);
    my $i = 0;
    my $n = length $text;
    my ($word, $literal, $wordLine) = (undef, 1, $line);
    my $flush = sub {
        if (defined $word) { push @tokens, { w => $word, line => $wordLine, lit => $literal }; }
        ($word, $literal) = (undef, 1);
    };
    my $add = sub { $word = '' unless defined $word; $wordLine = $line if $word eq ''; $word .= $_[0]; };
    my $substitution = sub { # from $i at an opening "(" to its match; returns the inner text
        my $start = $i;
        $i = skip_parens($text, $i);
        return substr($text, $start + 1, $i - $start - 2);
    };
    my $backquoted = sub { # from $i at an opening backquote past its match; scans the command
        my $e = index($text, '`', $i + 1);
        $e = $n if $e < 0;
        scan_shell(substr($text, $i + 1, $e - $i - 1), $file, $line);
        $i = $e + 1;
        $add->('$_');
        $literal = 0;
    };
    while ($i < $n) {
        my $c = substr($text, $i, 1);
        if ($c eq "\n") {
            $flush->();
            push @tokens, { op => "\n", line => $line };
            $line++;
            $i++;
            for my $h (@heredocs) { # skip each here-document's lines
                while ($i < $n) {
                    my $e = index($text, "\n", $i);
                    $e = $n if $e < 0;
                    my $l = substr($text, $i, $e - $i);
                    $i = $e + 1;
                    $line++;
                    $l =~ s/^\t+// if $h->{strip};
                    last if $l eq $h->{end};
                }
            }
            @heredocs = ();
            next;
        }
        if ($c eq '\\' && substr($text, $i + 1, 1) eq "\n") { $i += 2; $line++; next; }
        if ($c eq '\\') { $add->(substr($text, $i + 1, 1)); $i += 2; next; }
        if ($c eq '#' && !defined $word) { my $e = index($text, "\n", $i); $i = $e < 0 ? $n : $e; next; }
        if ($c =~ /[ \t]/) { $flush->(); $i++; next; }
        if ($c eq "'") {
            my $e = index($text, "'", $i + 1);
            $e = $n if $e < 0;
            my $s = substr($text, $i + 1, $e - $i - 1);
            $add->($s);
            $line += ($s =~ tr/\n//);
            $i = $e + 1;
            next;
        }
        if ($c eq '"') {
            $add->('');
            $i++;
            while ($i < $n && substr($text, $i, 1) ne '"') {
                my $d = substr($text, $i, 1);
                if ($d eq '\\') { $add->(substr($text, $i + 1, 1)); $i += 2; next; }
                if (substr($text, $i, 2) eq '$(' && substr($text, $i, 3) ne '$((') {
                    $i++;
                    my $startLine = $line;
                    my $inner = $substitution->();
                    scan_shell($inner, $file, $startLine);
                    $line += ($inner =~ tr/\n//);
                    $add->('$_');
                    $literal = 0;
                    next;
                }
                if ($d eq '`') { $backquoted->(); next; }
                $literal = 0 if $d eq '$';
                $line++ if $d eq "\n";
                $add->($d);
                $i++;
            }
            $i++;
            next;
        }
        if ($c eq '`') { $backquoted->(); next; }
        if ($c eq '$' && substr($text, $i + 1, 1) eq '(') {
            $i++;
            if (substr($text, $i, 2) eq '((') { $substitution->(); $add->('$_'); $literal = 0; next; }
            my $startLine = $line;
            my $inner = $substitution->();
            scan_shell($inner, $file, $startLine);
            $line += ($inner =~ tr/\n//);
            $add->('$_');
            $literal = 0;
            next;
        }
        if ($c eq '$' && substr($text, $i + 1, 1) eq '{') {
            my $e = index($text, '}', $i);
            $e = $n - 1 if $e < 0;
            $add->(substr($text, $i, $e - $i + 1));
            $literal = 0;
            $i = $e + 1;
            next;
        }
        if ($c eq '$') { $add->('$'); $literal = 0; $i++; next; }
        if (($c eq '<' || $c eq '>') && substr($text, $i + 1, 1) eq '(') { # process substitution
            $flush->();
            $i++;
            my $startLine = $line;
            my $inner = $substitution->();
            scan_shell($inner, $file, $startLine);
            $line += ($inner =~ tr/\n//);
            push @tokens, { w => '$_', line => $line, lit => 0 };
            next;
        }
        if ($c eq '(' && !defined $word && substr($text, $i + 1, 1) eq '(') { # (( arithmetic ))
            $substitution->();
            push @tokens, { w => '$_', line => $line, lit => 0 };
            next;
        }
        if ($c eq '(' && defined $word && $word =~ /^[A-Za-z_][A-Za-z0-9_]*(\[[^]]*\])?\+?=$/) { # array
            my $inner = $substitution->();
            $add->("($inner)");
            next;
        }
        if ($c eq '<' || $c eq '>' || ($c eq '&' && substr($text, $i + 1, 1) eq '>')) { # redirection
            my $fd = (defined $word && $word =~ /^\d+$/) ? $word : '';
            undef $word if $fd ne '';
            $flush->();
            if (substr($text, $i, 3) eq '<<<') { push @tokens, { op => 'redir', line => $line }; $i += 3; next; }
            if (substr($text, $i, 2) eq '<<') {
                $i += 2;
                my $strip = substr($text, $i, 1) eq '-';
                $i++ if $strip;
                $i++ while substr($text, $i, 1) =~ /[ \t]/;
                my $e = $i;
                $e++ while $e < $n && substr($text, $e, 1) !~ /[\s;|&<>()]/;
                (my $end = substr($text, $i, $e - $i)) =~ s/['"\\]//g;
                push @heredocs, { end => $end, strip => $strip };
                $i = $e;
                next;
            }
            my $op = substr($text, $i) =~ /^(&>>?|>>|>&|<&|<>|>\||>|<)/ ? $1 : $c;
            $i += length $op;
            if (substr($text, $i) =~ /^(\d+|-)(?![^\s;|&<>()])/) { $i += length $1; next; } # >&2, <&-
            push @tokens, { op => 'redir', line => $line };
            next;
        }
        if ($c =~ /[;&|()]/) {
            $flush->();
            my $op = substr($text, $i) =~ /^(;;&|;;|;&|&&|\|\||\|&|[;&|()])/ ? $1 : $c;
            push @tokens, { op => $op, line => $line };
            $i += length $op;
            next;
        }
        $add->($c);
        $i++;
    }
    $flush->();
    return @tokens;
}

# What a variable holds, when the script assigns it a plain word (first element of an array).
sub shell_variables {
    my ($text) = @_;
    my %value;
    while ($text =~ /^\s*(?:local\s+|export\s+|readonly\s+)?([A-Za-z_][A-Za-z0-9_]*)=(\(\s*)?([^\s()\$"'`;|&]+|"[^"\$`]+"|'[^']+')/mg) {
        my ($name, $array, $v) = ($1, $2, $3);
        $v =~ s/^["']|["']$//g;
        $value{$name} = $v unless exists $value{$name} && $value{$name} ne $v && ($value{$name} = '');
    }
    return %value;
}

sub command_word {
    my ($word, $vars) = @_;
    return undef unless defined $word;
    if (!$word->{lit}) {
        my $w = $word->{w};
        return undef unless $w =~ /^\$\{?([A-Za-z_][A-Za-z0-9_]*)(?:\[[@*0]\])?\}?$/;
        my $v = $vars->{$1};
        return (defined $v && length $v) ? $v : undef;
    }
    return $word->{w};
}

sub scan_shell {
    my ($text, $file, $line) = @_;
    if ($text =~ /^#!\s*(\S+)(?:[ \t]+(\S+))?/) {
        found($1, "$file:$line");
        found($2, "$file:$line") if $1 =~ m{/env$} && defined $2;
    }
    # Substitutions are scanned with the variables and functions of the script around them.
    my %vars = (%{$context->{vars} // {}}, shell_variables($text));
    my %functions = %{$context->{functions} // {}};
    $functions{$1} = 1 while $text =~ /^\s*(?:function\s+)?([A-Za-z_][A-Za-z0-9_:-]*)\s*\(\s*\)/mg;
    $functions{$1} = 1 while $text =~ /^\s*function\s+([A-Za-z_][A-Za-z0-9_:-]*)/mg;
    local $context = { vars => \%vars, functions => \%functions };
    my @tokens = shell_tokens($text, $file, $line);

    my $start = 1; # at the start of a command
    my @case;      # per open case: 1 while its patterns are read
    my $skip = ''; # skip words up to this keyword or operator
    for (my $k = 0; $k < @tokens; $k++) {
        my $t = $tokens[$k];
        if (exists $t->{op}) {
            my $op = $t->{op};
            if ($op eq 'redir') { $k++ if $k + 1 < @tokens && exists $tokens[$k + 1]{w}; next; }
            if (@case && $case[-1] && $op eq ')') { $case[-1] = 0; $start = 1; next; }
            next if @case && $case[-1];
            $case[-1] = 1 if @case && $op =~ /^;;&?$|^;&$/;
            $start = 1 unless $op eq ')' && $skip eq 'functiondef';
            $skip = '' if $skip eq 'for' && ($op eq ';' || $op eq "\n");
            $skip = '' if $skip eq 'functiondef';
            next;
        }
        my $w = $t->{w};
        if (@case && $case[-1]) { # a pattern, or the end of the case
            if ($w eq 'esac' && $t->{lit}) { pop @case; $start = 0; }
            next;
        }
        if ($skip eq ']]') { $skip = '' if $w eq ']]'; next; }
        if ($skip eq 'in') { if ($w eq 'in') { $skip = ''; push @case, 1; } next; }
        if ($skip eq 'for') { next; }
        next unless $start;
        if ($t->{lit} && $w =~ /^[A-Za-z_][A-Za-z0-9_]*(\[[^]]*\])?\+?=/) { next; } # assignment
        $start = 0;
        if ($t->{lit}) {
            if ($w eq 'case') { $skip = 'in'; next; }
            if ($w eq 'for' || $w eq 'select') { $skip = 'for'; next; }
            if ($w eq '[[') { $skip = ']]'; next; }
            if ($w eq 'esac') { pop @case; next; }
            if ($w eq 'function') { $k++; $skip = 'functiondef'; next; }
            if ($keyword{$w} || $w eq 'time' || $w eq 'exec') { $start = 1; next; }
            if ($k + 2 < @tokens && ($tokens[$k + 1]{op} // '') eq '(' && ($tokens[$k + 2]{op} // '') eq ')') {
                $k += 2; $start = 1; next; # name() { … }
            }
        }
        my $name = command_word($t, \%vars);
        next unless defined $name;
        if ($name eq 'command' || $name eq 'type' || $name eq 'hash' || $name eq 'which') {
            my $j = $k + 1;
            my $probe = $name ne 'command';
            while ($j < @tokens && exists $tokens[$j]{w} && $tokens[$j]{w} =~ /^-/) {
                $probe = 1 if $tokens[$j]{w} =~ /^-[vV]/;
                $j++;
            }
            found('which', "$file:$t->{line}") if $name eq 'which';
            if ($j < @tokens && exists $tokens[$j]{w}) {
                my $target = command_word($tokens[$j], \%vars);
                if ($probe) { found($target, "$file:$tokens[$j]{line}") if defined $target && $target !~ m{^[^/]+/}; }
                else { $k = $j - 1; $start = 1; }
            }
            next;
        }
        next if $builtin{$name} || $functions{$name};
        next if $name =~ m{/} && $name !~ m{^/}; # a file of the project
        found($name, "$file:$t->{line}");
        my $base = $name =~ s{.*/}{}r;
        if (exists $wrapper{$base}) {
            my %takes = map { $_ => 1 } split ' ', $wrapper{$base};
            my $j = $k + 1;
            my $dashes = $base eq 'dbus-run-session' ? 0 : 1;
            while ($j < @tokens && exists $tokens[$j]{w}) {
                my $a = $tokens[$j]{w};
                if ($a eq '--') { $dashes = 1; $j++; last; }
                if ($a =~ /^-/) { $j++; $j++ if $takes{$a}; next; }
                last if $dashes && !($base eq 'env' && $a =~ /=/) && !($base eq 'timeout' && $a =~ /^[\d.]+[smhd]?$/);
                $j++;
            }
            if ($j < @tokens && exists $tokens[$j]{w}) { $k = $j - 1; $start = 1; }
            next;
        }
        if ($shell{$base}) { # sh -c 'text'
            for (my $j = $k + 1; $j + 1 < @tokens && exists $tokens[$j]{w}; $j++) {
                if ($tokens[$j]{w} eq '-c' && exists $tokens[$j + 1]{w}) {
                    scan_shell($tokens[$j + 1]{w}, $file, $tokens[$j + 1]{line});
                    last;
                }
            }
        }
        if ($base eq 'find') {
            for (my $j = $k + 1; $j + 1 < @tokens && exists $tokens[$j]{w}; $j++) {
                found(command_word($tokens[$j + 1], \%vars), "$file:$t->{line}") if $tokens[$j]{w} =~ /^-(exec|execdir|ok)$/;
            }
        }
    }
}

# ---- C++ --------------------------------------------------------------------------------------

sub cpp_unescape {
    my ($s) = @_;
    my %esc = (n => "\n", t => "\t", r => "\r", '0' => "\0", a => "\a", e => "\e");
    $s =~ s/\\(x[0-9a-fA-F]+|[0-7]{1,3}|.)/
        my $e = $1;
        $e =~ m{^x} ? chr(hex substr($e, 1)) : $e =~ m{^[0-7]} ? chr(oct $e) : ($esc{$e} \/\/ $e)/ge;
    return $s;
}

# Tokens of C++ text: strings (s, with their line), identifiers and punctuation (p).
sub cpp_tokens {
    my ($text) = @_;
    my @tokens;
    my $line = 1;
    pos($text) = 0;
    while (pos($text) < length $text) {
        if ($text =~ /\G(\s+)/gc) { $line += ($1 =~ tr/\n//); next; }
        if ($text =~ m{\G//[^\n]*}gc) { next; }
        if ($text =~ m{\G/\*(.*?)\*/}gcs) { $line += ($1 =~ tr/\n//); next; }
        if ($text =~ /\G#\s*include[^\n]*/gc) { next; }
        if ($text =~ /\G(?:u8|u|U|L)?R"([^(\s]*)\((.*?)\)\1"/gcs) {
            push @tokens, { s => $2, line => $line };
            $line += ($2 =~ tr/\n//);
            next;
        }
        if ($text =~ /\G(?:u8|u|U|L)?"((?:[^"\\\n]|\\.)*)"/gc) { push @tokens, { s => cpp_unescape($1), line => $line }; next; }
        if ($text =~ /\G'(?:[^'\\\n]|\\.)*'/gc) { push @tokens, { p => 'char', line => $line }; next; }
        if ($text =~ /\G([A-Za-z_][A-Za-z0-9_]*)/gc) { push @tokens, { id => $1, line => $line }; next; }
        if ($text =~ /\G(::|->|<<|&&|\|\||.)/gcs) { push @tokens, { p => $1, line => $line }; next; }
    }
    return @tokens;
}

my %literalWrapper = map { $_ => 1 } qw(QStringLiteral QLatin1String QLatin1StringView QString QByteArray
  QByteArrayLiteral fromLatin1 fromUtf8 fromLocal8Bit _s _L1 _ba);

# The arguments of the call whose "(" is at $k: a list of token lists.
sub cpp_arguments {
    my ($tokens, $k) = @_;
    my (@args, @current);
    my $depth = 0;
    for (my $j = $k; $j < @$tokens; $j++) {
        my $p = $tokens->[$j]{p} // '';
        if ($p eq '(' || $p eq '{' || $p eq '[') { $depth++; push @current, $tokens->[$j] if $depth > 1; next; }
        if ($p eq ')' || $p eq '}' || $p eq ']') {
            $depth--;
            if ($depth == 0) { push @args, [@current]; last; }
            push @current, $tokens->[$j];
            next;
        }
        if ($p eq ',' && $depth == 1) { push @args, [@current]; @current = (); next; }
        push @current, $tokens->[$j];
    }
    return @args;
}

# The text of an argument that is nothing but a string literal (in any of Qt's wrappers).
sub cpp_plain_string {
    my ($arg) = @_;
    my $text;
    for my $t (@$arg) {
        if (exists $t->{s}) { $text = ($text // '') . $t->{s}; next; }
        next if exists $t->{id} && $literalWrapper{$t->{id}};
        next if exists $t->{p} && ($t->{p} eq '::' || $t->{p} eq '(' || $t->{p} eq ')');
        return undef;
    }
    return $text;
}

my %starter = map { $_ => 1 } qw(start startDetached setProgram execute findExecutable resourcePath);

sub scan_cpp {
    my ($file, $text, $helpers) = @_;
    my @tokens = cpp_tokens($text);
    for (my $k = 0; $k + 1 < @tokens; $k++) {
        my $t = $tokens[$k];
        if (exists $t->{s} && $t->{s} =~ /^#!/ && !(exists $tokens[$k - 1]{s})) { # a script in literals
            my $script = '';
            my $j = $k;
            while ($j < @tokens) {
                if (exists $tokens[$j]{s}) { $script .= $tokens[$j]{s}; $j++; next; }
                if (exists $tokens[$j]{id} && $literalWrapper{$tokens[$j]{id}}) { $j++; next; }
                last unless ($tokens[$j]{p} // '') eq '+';
                my $m = $j + 1; # an expression between two "+"
                $m++ while $m < @tokens && !exists $tokens[$m]{s} && ($tokens[$m]{p} // '') !~ /^[;,]$/;
                last unless $m < @tokens && exists $tokens[$m]{s};
                $script .= '${X}' if $m > $j + 1;
                $j = $m;
            }
            scan_shell($script, $file, $t->{line});
            next;
        }
        if (exists $t->{s} && $t->{s} =~ m{^/(?:usr/)?s?bin/[A-Za-z0-9._+-]+$}) { # a system program by its path
            found($t->{s}, "$file:$t->{line}");
            next;
        }
        next unless exists $t->{id} && ($starter{$t->{id}} || $helpers->{$t->{id}});
        next unless ($tokens[$k + 1]{p} // '') eq '(';
        next if $k > 0 && exists $tokens[$k - 1]{id} && $tokens[$k - 1]{id} =~ /^(bool|void|int|QString|ProcessRun)$/;
        my @args = cpp_arguments(\@tokens, $k + 1);
        my $program = @args ? cpp_plain_string($args[0]) : undef;
        next unless defined $program && length $program;
        next if $program =~ m{/} && $program !~ m{^/};
        found($program, "$file:$t->{line}");
        my $base = $program =~ s{.*/}{}r;
        my @rest = map { cpp_plain_string($_) } @args[1 .. $#args];
        # The argument list may be one brace list: its strings, in order.
        if (@args > 1 && !defined $rest[0]) {
            @rest = map { exists $_->{s} ? $_->{s} : undef } grep { exists $_->{s} || ($_->{p} // '') eq ',' } @{$args[1]};
            @rest = grep { defined } @rest;
        }
        if ($base eq 'dbus-run-session' || $base eq 'env' || $base eq 'xvfb-run') {
            my $after = 0;
            for my $a (@rest) {
                if (!defined $a) { last; }
                if ($a eq '--') { $after = 1; next; }
                next if $a =~ /^-/ || $a =~ /=/;
                if ($base ne 'dbus-run-session' || $after) { found($a, "$file:$t->{line}") if $a !~ m{^[^/]+/}; last; }
            }
        }
        if ($shell{$base} || grep { defined && ($_ eq 'bash' || $_ eq 'sh') } @rest) {
            for (my $a = 0; $a + 1 < @rest; $a++) {
                scan_shell($rest[$a + 1], $file, $t->{line}) if defined $rest[$a] && $rest[$a] eq '-c' && defined $rest[$a + 1];
            }
        }
    }
}

# ---- CMake ------------------------------------------------------------------------------------

sub scan_cmake {
    my ($file, $text) = @_;
    (my $code = $text) =~ s/#[^\n]*//g;
    my %sets;
    while ($code =~ /\bset\s*\(\s*(\w+)\s+([^\s)]+)/g) { push @{$sets{$1}}, $2; }
    my $lineOf = sub { my $upto = substr($code, 0, $_[0]); 1 + ($upto =~ tr/\n//) };
    while ($code =~ /\bfind_program\s*\(\s*\w+\s+(?:NAMES\s+)?([^\s)]+)/g) { found($1, "$file:" . $lineOf->($-[0])); }
    while ($code =~ /\bCOMMAND\s+([^\s)]+)/g) {
        my ($word, $at) = ($1, $-[0]);
        my @words = $word =~ /^\$\{(\w+)\}$/ ? @{$sets{$1} // []} : ($word);
        for my $w (@words) {
            next if $w =~ /^[\$"]/ || ($w =~ m{/} && $w !~ m{^/});
            found($w, "$file:" . $lineOf->($at));
        }
    }
}

# ---- the trace --------------------------------------------------------------------------------

# Programs that processes of the project executed. A process is the project's when it runs a
# file below ROOT (or a temporary file a test wrote), ctest, or a shell or a wrapper (env,
# dbus-run-session, …) that a process of the project started; what it executes is then started
# by the project.
sub scan_trace {
    my ($log, $root) = @_;
    open my $in, '<', $log or die "$log: $!\n";
    my (%image, %ours, %pending);
    my $isOurs = sub {
        my ($path, $parentOurs) = @_;
        return 1 if index($path, "$root/") == 0 || $path =~ m{^/tmp/} || $path =~ m{/ctest$};
        my $base = $path =~ s{.*/}{}r;
        return $parentOurs && ($shell{$base} || exists $wrapper{$base});
    };
    while (my $l = <$in>) {
        my ($pid, $rest) = $l =~ /^(\d+)\s+(.*)$/ or next;
        if ($rest =~ /^<\.\.\. (\w+) resumed>.*= (\d+|-1)/) {
            my ($call, $result) = ($1, $2);
            my $p = delete $pending{$pid} // next;
            $rest = "$p->[0] = $result";
        } elsif ($rest =~ /<unfinished \.\.\.>$/) {
            $pending{$pid} = [$rest =~ s/\s*<unfinished \.\.\.>$//r];
            next;
        }
        if ($rest =~ /^(?:clone3?|fork|vfork)\(.*= (\d+)$/) {
            $image{$1} = $image{$pid} // '';
            $ours{$1} = $ours{$pid} // 0;
            next;
        }
        if ($rest =~ /^execve\("([^"]+)", \[(.*?)\], .* = 0$/) {
            my $path = $1;
            my $starterOurs = $ours{$pid} // 0;
            my $top = !exists $image{$pid};
            if ($starterOurs) {
                print "$path\n" unless index($path, "$root/") == 0 || $path =~ m{^/tmp/};
            }
            $image{$pid} = $path;
            $ours{$pid} = $top ? ($path =~ m{/ctest$} ? 1 : 0) : ($isOurs->($path, $starterOurs) ? 1 : 0);
        }
    }
}

# ---- main -------------------------------------------------------------------------------------

if (@ARGV && $ARGV[0] eq '--trace') {
    scan_trace($ARGV[1], $ARGV[2]);
    exit 0;
}

my %texts;
for my $file (@ARGV) {
    open my $in, '<', $file or die "$file: $!\n";
    local $/;
    $texts{$file} = <$in>;
}
my %helpers;
for my $file (grep { /\.(cpp|h)$/ } @ARGV) {
    $helpers{$1} = 1 while $texts{$file} =~ /\b(\w+)\s*\(\s*const QString\s*&\s*program\b/g;
}
for my $file (@ARGV) {
    my $text = $texts{$file};
    if ($file =~ /\.(cpp|h)$/) { scan_cpp($file, $text, \%helpers); }
    elsif ($file =~ /(CMakeLists\.txt|\.cmake)$/) { scan_cmake($file, $text); }
    elsif ($file =~ /\.sh$/ || $text =~ /^#!\s*\S*\b(sh|bash|dash)\b/ || $text =~ /^#!\s*\S*env\s+(sh|bash)\b/) {
        scan_shell($text, $file, 1);
    }
}
my %seen;
print grep { !$seen{$_}++ } map { "$_\n" } @found;
