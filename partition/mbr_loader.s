# Master boot record loader, 16-bit real mode, at most 440 bytes.
#
# The BIOS loads this sector to 0000:7C00 with the boot drive in DL. The
# loader copies itself to 0000:0600 so the partition's boot sector can take
# its place, checks the partition table (one entry with boot byte 0x80, every
# other one 0x00), reads the active partition's first sector to 0000:7C00 by
# LBA through the INT 13h extensions or, without them, by the entry's CHS
# address, and jumps to it with DL = boot drive and DS:SI -> the active entry.
#
# Assembled with `as --32` and cut out with `objcopy -O binary`, without a
# linker: every absolute address below is written as a difference of labels
# plus a constant, so the object carries no relocations.

        .code16
        .text
        .globl  mbr_start

        .set    load_address, 0x7c00     # where BIOS and loader put boot sectors
        .set    run_address, 0x0600      # where the loader runs after moving
        .set    table_offset, 446
        .set    entry_size, 16
        .set    entry_count, 4
        .set    signature_offset, 510
        .set    read_tries, 5

mbr_start:
        cli
        xorw    %ax, %ax
        movw    %ax, %ss
        movw    $load_address, %sp
        movw    %ax, %ds
        movw    %ax, %es
        sti
        cld
        movw    $load_address, %si
        movw    $run_address, %di
        movw    $256, %cx
        rep movsw
        ljmp    $0, $(run_address + moved - mbr_start)

moved:
        movb    %dl, run_address + boot_drive - mbr_start
        movw    $(run_address + table_offset), %si
        movw    $entry_count, %cx
find_active:
        cmpb    $0x80, (%si)
        je      found_active
        cmpb    $0, (%si)
        jne     invalid_table
        addw    $entry_size, %si
        loop    find_active
        int     $0x18                    # nothing to start: the BIOS tries the next device
        jmp     missing_os

found_active:
        movw    %si, %bp                 # bp -> the active entry from here on
check_rest:
        decw    %cx
        jz      load_boot_sector
        addw    $entry_size, %si
        cmpb    $0, (%si)
        je      check_rest
invalid_table:
        movw    $(run_address + msg_invalid - mbr_start), %si
        jmp     print_and_halt

load_boot_sector:
        movw    $read_tries, %di
        movb    $0x41, %ah               # are the INT 13h extensions there?
        movw    $0x55aa, %bx
        movb    run_address + boot_drive - mbr_start, %dl
        int     $0x13
        jc      read_chs
        cmpw    $0xaa55, %bx
        jne     read_chs
        testb   $1, %cl                  # packet access (AH=42h) supported
        jz      read_chs
        movl    8(%bp), %eax             # the entry's first sector
        movl    %eax, run_address + dap_lba - mbr_start

read_lba:
        movw    $(run_address + dap - mbr_start), %si
        movb    run_address + boot_drive - mbr_start, %dl
        movb    $0x42, %ah
        int     $0x13
        jnc     check_signature
        call    reset_disk
        decw    %di
        jnz     read_lba
        jmp     load_error

read_chs:
        movw    $0x0201, %ax             # read one sector
        movw    $load_address, %bx
        movb    1(%bp), %dh              # head
        movw    2(%bp), %cx              # sector and cylinder bits as the entry holds them
        movb    run_address + boot_drive - mbr_start, %dl
        int     $0x13
        jnc     check_signature
        call    reset_disk
        decw    %di
        jnz     read_chs

load_error:
        movw    $(run_address + msg_load - mbr_start), %si
        jmp     print_and_halt

check_signature:
        cmpw    $0xaa55, load_address + signature_offset
        jne     missing_os
        movw    %bp, %si
        movb    run_address + boot_drive - mbr_start, %dl
        ljmp    $0, $load_address

missing_os:
        movw    $(run_address + msg_missing - mbr_start), %si

print_and_halt:
        lodsb
        testb   %al, %al
        jz      halt
        movb    $0x0e, %ah               # teletype output
        movw    $0x0007, %bx
        int     $0x10
        jmp     print_and_halt
halt:
        sti
        hlt
        jmp     halt

reset_disk:
        xorw    %ax, %ax
        movb    run_address + boot_drive - mbr_start, %dl
        int     $0x13
        ret

        # Disk address packet for AH=42h: one sector to 0000:7C00.
dap:
        .byte   0x10, 0
        .word   1
        .word   load_address, 0
dap_lba:
        .long   0, 0
boot_drive:
        .byte   0x80

msg_invalid:
        .asciz  "Invalid partition table"
msg_load:
        .asciz  "Error loading operating system"
msg_missing:
        .asciz  "Missing operating system"

        .org    440                      # fails to assemble when the code outgrows its room
