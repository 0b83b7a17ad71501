#!/bin/sh
# qemu-x86_64 on the processor model QEMU_CPU names, Nehalem where it names
# none: the model given on the command line would win over QEMU_CPU, so the
# x86-64 cross build's tests take it from here (tools/test-cross runs them on
# more than one model).
exec /usr/bin/qemu-x86_64 -cpu "${QEMU_CPU:-Nehalem}" "$@"
