package com.plimo.mail.mapi;

import javax.mail.Folder;
import javax.mail.internet.MimeMessage;

/** A message as an application's own class gives it to the natives: the constructor and setMessagePointer only. */
public class MAPIMessage extends MimeMessage {

    private long pointer;

    public MAPIMessage(Folder folder, int msgnum) {
        super(folder, msgnum);
    }

    public void setMessagePointer(long pointer) {
        this.pointer = pointer;
    }
}
