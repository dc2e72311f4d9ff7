# Guest instructions executed, from qemu's "-d in_asm,exec,nochain" log: every executed block
# counts the instructions it was translated with.
/^IN:/ { inblock = 1; n = 0; pc = ""; next }
inblock && /^0x[0-9a-f]+:/ { if (pc == "") pc = substr($1, 3, length($1) - 3); n++; next }
inblock && /^$/ { size[pc] = n; inblock = 0; next }
/^Trace / { split($4, f, "/"); total += size[f[2]] }
END { printf "%d\n", total }
