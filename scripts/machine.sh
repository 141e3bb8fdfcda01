# shellcheck shell=bash
# Source this file. qm_runs_i386 tells whether this machine runs 32-bit x86 programs natively, by
# running a 93-byte i386 Linux program that only calls exit(0). The kernels of some 64-bit hosts
# refuse every i386 program (execve gives ENOEXEC); there wine32, and with it the i686 Windows
# test suite, cannot run, and the tests run on the x86_64 build under wine64 instead.

qm_runs_i386() {
    if [ -z "${QM_RUNS_I386:-}" ]; then
        local probe
        probe=$(mktemp /tmp/qm-i386-probe.XXXXXX)
        # ELF header, one PT_LOAD program header, then: mov eax,1; xor ebx,ebx; int 0x80.
        printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x28\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe"
        chmod +x "$probe"
        QM_RUNS_I386=no
        # A binfmt_misc entry for qemu would run the probe by emulation, where wine32 is unusable.
        if "$probe" 2>/dev/null && ! grep -qsx enabled /proc/sys/fs/binfmt_misc/qemu-i386; then
            QM_RUNS_I386=yes
        fi
        rm -f "$probe"
        export QM_RUNS_I386
    fi
    [ "$QM_RUNS_I386" = yes ]
}

# One line for the logs: which kind of machine this is and what the tests run on.
qm_machine_line() {
    if qm_runs_i386; then
        echo "machine: runs 32-bit x86 code; Windows tests run on the i686 and x86_64 builds"
    else
        echo "machine: runs 64-bit code only; Windows tests run on the x86_64 build under wine64," \
            "the i686 build is built and checked, its method caller runs under qemu-i386"
    fi
}
