/*
 * Calls a function through the 32-bit stack and measures how many bytes of
 * arguments it removed on return. A stdcall function (every JNI native on
 * 32-bit Windows) pops exactly the @N bytes of its decorated name; a cdecl
 * one pops none. The caller's stack is restored whatever the callee did.
 *
 *   int probe_call(void* fn, const unsigned* words, unsigned count,
 *                  ProbeResult* out, int returnsDouble)   (cdecl)
 *
 * words[0] is pushed last (the first argument); out receives EAX, EDX, the
 * x87 result when returnsDouble is set (which is also popped off the x87
 * stack, as a caller must), and the bytes popped. Returns the bytes popped.
 */
/* File-scope assembly, so that no compiler-made prologue or epilogue
   touches the stack around the measurement. */
__asm__(
    "        .text\n"
    "        .globl  _probe_call\n"
    "        .def    _probe_call; .scl 2; .type 32; .endef\n"
    "_probe_call:\n"
    "        pushl   %ebp\n"
    "        movl    %esp, %ebp\n"
    "        pushl   %ebx\n"
    "        pushl   %esi\n"
    "        pushl   %edi\n"
    "\n"
    "        movl    12(%ebp), %esi\n"  /* words */
    "        movl    16(%ebp), %ecx\n"  /* count */
    "1:      testl   %ecx, %ecx\n"
    "        jz      2f\n"
    "        pushl   -4(%esi,%ecx,4)\n"
    "        decl    %ecx\n"
    "        jmp     1b\n"
    "2:      movl    %esp, %ebx\n"  /* the stack as the callee finds it */
    "        movl    8(%ebp), %eax\n"
    "        call    *%eax\n"
    "        movl    %esp, %edi\n"
    "        subl    %ebx, %edi\n"  /* bytes the callee popped */
    "\n"
    "        movl    20(%ebp), %ecx\n"  /* out */
    "        movl    %eax, 0(%ecx)\n"
    "        movl    %edx, 4(%ecx)\n"
    "        movl    %edi, 16(%ecx)\n"
    "        cmpl    $0, 24(%ebp)\n"
    "        je      3f\n"
    "        fstpl   8(%ecx)\n"
    "3:      movl    %edi, %eax\n"
    "        leal    -12(%ebp), %esp\n"
    "        popl    %edi\n"
    "        popl    %esi\n"
    "        popl    %ebx\n"
    "        popl    %ebp\n"
    "        ret\n"
);
