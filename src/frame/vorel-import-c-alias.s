# SetMessageWnd under its C name, for games built with Visual Studio's
# toolchain: Vorel.dll exports the function only under its C++ name, so this
# member of Vorel.lib gives C callers the two symbols they reference, the
# function and its import slot, both leading to that export. Assembled with
# llvm-mc for i686-pc-windows-msvc.
#
# @feat.00 = 1 marks the object as safe for /SAFESEH (it has no exception
# handlers); without it a game linked with /SAFESEH, the default, fails.
        .def    @feat.00
        .scl    3
        .type   0
        .endef
        .globl  @feat.00
.set @feat.00, 1

        .text
        .globl  _SetMessageWnd
        .p2align 4
_SetMessageWnd:
        jmpl    *"__imp_?SetMessageWnd@@YAHPAUHWND__@@@Z"

# A dllimport call reads its target from here: the import thunk of the C++
# name, which jumps through that name's import slot.
        .section .rdata,"dr"
        .globl  __imp__SetMessageWnd
        .p2align 2
__imp__SetMessageWnd:
        .long   "?SetMessageWnd@@YAHPAUHWND__@@@Z"
