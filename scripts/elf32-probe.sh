#!/usr/bin/env bash
# Writes a tiny 32-bit Linux program to stdout: it calls exit(42) through int 0x80. Whether a
# kernel (or an emulator in front of it) runs 32-bit code, whatever the machine is called:
# scripts/wine32.sh and scripts/i686-root.sh run it.
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000'\
'\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000'\
'\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000'\
'\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010'\
'\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000'\
'\270\001\000\000\000\273\052\000\000\000\315\200'
