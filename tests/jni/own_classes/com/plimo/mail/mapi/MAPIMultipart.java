package com.plimo.mail.mapi;

import javax.mail.internet.MimeMultipart;

/** A multipart as an application's own class gives it to the natives: the constructor only. */
public class MAPIMultipart extends MimeMultipart {

    private final long pointer;
    private final MAPIMessage message;

    public MAPIMultipart(long pointer, MAPIMessage message) {
        this.pointer = pointer;
        this.message = message;
    }
}
