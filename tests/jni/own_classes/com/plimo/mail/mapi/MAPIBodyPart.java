package com.plimo.mail.mapi;

import javax.mail.internet.MimeBodyPart;

/** A body part as an application's own class gives it to the natives: the constructor only. */
public class MAPIBodyPart extends MimeBodyPart {

    private final long pointer;
    private final MAPIMultipart multipart;
    private final String type;
    private final String disposition;
    private final String content;
    private final String contentId;
    private final int size;

    public MAPIBodyPart(long pointer, MAPIMultipart multipart, String type, String disposition, String content,
            String contentId, int size) {
        this.pointer = pointer;
        this.multipart = multipart;
        this.type = type;
        this.disposition = disposition;
        this.content = content;
        this.contentId = contentId;
        this.size = size;
    }
}
