package com.plimo.mail.mapi;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.util.ArrayList;
import java.util.Date;
import java.util.List;
import java.util.Properties;
import javax.activation.DataHandler;
import javax.mail.Address;
import javax.mail.BodyPart;
import javax.mail.Message;
import javax.mail.MessagingException;
import javax.mail.Part;
import javax.mail.Session;
import javax.mail.internet.MimeBodyPart;
import javax.mail.internet.MimeMessage;
import javax.mail.internet.MimeMultipart;
import javax.mail.util.ByteArrayDataSource;

/**
 * A MIME message made from what the store answers for a {@link MAPIMessage}: its headers,
 * the plain-text and HTML bodies (multipart/alternative when both), inline attachments
 * with their Content-ID beside the HTML (multipart/related), the other attachments around
 * them (multipart/mixed). An attached message is a message/rfc822 part of its own MIME
 * form, made the same way.
 */
final class MimeRendering {

    private MimeRendering() {
    }

    static MimeMessage render(MAPIMessage source, Session session) throws MessagingException {
        if (session == null) {
            session = Session.getInstance(new Properties());
        }
        final String messageId = source.getMessageID();
        MimeMessage out = new MimeMessage(session) {
            @Override
            protected void updateMessageID() throws MessagingException {
                if (messageId != null) {
                    setHeader("Message-ID", messageId);
                } else {
                    super.updateMessageID();
                }
            }
        };
        Address[] from = source.getFrom();
        if (from != null) {
            out.addFrom(from);
        }
        setRecipients(out, Message.RecipientType.TO, source.getRecipients(Message.RecipientType.TO));
        setRecipients(out, Message.RecipientType.CC, source.getRecipients(Message.RecipientType.CC));
        Address[] replyTo = source.getReplyTo();
        if (replyTo != null && !sameAddresses(replyTo, from)) {
            out.setReplyTo(replyTo);
        }
        String subject = source.getSubject();
        if (subject != null) {
            out.setSubject(subject, "UTF-8");
        }
        Date sent = source.getSentDate();
        if (sent != null) {
            out.setSentDate(sent);
        }
        String priority = source.getPriority();
        if (priority != null && !priority.isEmpty() && !"3".equals(priority)) {
            out.setHeader("X-Priority", priority);
        }
        try {
            setContent(out, source);
        } catch (IOException e) {
            throw new MessagingException("Cannot read the message's parts: " + e.getMessage(), e);
        }
        out.saveChanges();
        return out;
    }

    private static void setContent(MimeMessage out, MAPIMessage source) throws MessagingException, IOException {
        MAPIMultipart parts = source.getMultipart();
        String plain = null;
        String html = null;
        List<MimeBodyPart> inline = new ArrayList<>();
        List<MimeBodyPart> attachments = new ArrayList<>();
        if (parts == null) {
            plain = source.getTextBody();
            if (plain.isEmpty() && !source.getHtmlBody().isEmpty()) {
                plain = null;
                html = source.getHtmlBody();
            }
        } else {
            for (int i = 0; i < parts.getCount(); i++) {
                MAPIBodyPart part = (MAPIBodyPart) parts.getBodyPart(i);
                if (!part.isAttachment()) {
                    String text = (String) part.getContent();
                    if (part.isMimeType("text/html")) {
                        html = html == null ? text : html;
                    } else {
                        plain = plain == null ? text : plain;
                    }
                    continue;
                }
                MimeBodyPart copy = attachment(part);
                if (part.getContentID() != null && html != null || part.getContentID() != null
                        && source.getHtmlBody().length() > 0) {
                    copy.setDisposition(Part.INLINE);
                    inline.add(copy);
                } else {
                    attachments.add(copy);
                }
            }
        }
        if (inline.isEmpty() && attachments.isEmpty()) {
            if (plain != null && html != null) {
                out.setContent(alternative(plain, html));
            } else if (html != null) {
                out.setText(html, "UTF-8", "html");
            } else {
                out.setText(plain == null ? "" : plain, "UTF-8");
            }
            return;
        }
        MimeBodyPart body = new MimeBodyPart();
        if (plain != null && html != null) {
            body.setContent(alternative(plain, html));
        } else if (html != null) {
            body.setText(html, "UTF-8", "html");
        } else {
            body.setText(plain == null ? "" : plain, "UTF-8");
        }
        if (!inline.isEmpty()) {
            MimeMultipart related = new MimeMultipart("related");
            related.addBodyPart(body);
            for (MimeBodyPart p : inline) {
                related.addBodyPart(p);
            }
            if (attachments.isEmpty()) {
                out.setContent(related);
                return;
            }
            body = new MimeBodyPart();
            body.setContent(related);
        }
        MimeMultipart mixed = new MimeMultipart("mixed");
        mixed.addBodyPart(body);
        for (MimeBodyPart p : attachments) {
            mixed.addBodyPart(p);
        }
        out.setContent(mixed);
    }

    private static MimeMultipart alternative(String plain, String html) throws MessagingException {
        MimeMultipart alternative = new MimeMultipart("alternative");
        alternative.addBodyPart(textPart(plain, "plain"));
        alternative.addBodyPart(textPart(html, "html"));
        return alternative;
    }

    private static MimeBodyPart textPart(String text, String subtype) throws MessagingException {
        MimeBodyPart p = new MimeBodyPart();
        p.setText(text, "UTF-8", subtype);
        return p;
    }

    private static MimeBodyPart attachment(MAPIBodyPart part) throws MessagingException, IOException {
        if (part.isMimeType("message/rfc822")) {
            Object content = part.getContent();
            if (content instanceof MAPIMessage) {
                // An attached message: its own MIME form, nested.
                MAPIMessage nested = (MAPIMessage) content;
                MimeBodyPart copy = new MimeBodyPart();
                copy.setContent(render(nested, nested.session()), "message/rfc822");
                copy.setDisposition(Part.ATTACHMENT);
                return copy;
            }
            if (content instanceof InputStream) {
                ((InputStream) content).close();
            }
        }
        String type = part.isMimeType("message/rfc822") ? MAPIMessage.MSG_FILE_TYPE : part.getContentType();
        byte[] data;
        try (InputStream in = part.getInputStream()) {
            ByteArrayOutputStream buffer = new ByteArrayOutputStream();
            byte[] chunk = new byte[64 * 1024];
            int n;
            while ((n = in.read(chunk)) > 0) {
                buffer.write(chunk, 0, n);
            }
            data = buffer.toByteArray();
        }
        MimeBodyPart copy = new MimeBodyPart();
        copy.setDataHandler(new DataHandler(new ByteArrayDataSource(data, type)));
        copy.setHeader("Content-Type", type);
        copy.setDisposition(Part.ATTACHMENT);
        String name = part.getFileName();
        if (name != null) {
            copy.setFileName(name);
        }
        String id = part.getContentID();
        if (id != null) {
            copy.setContentID("<" + id + ">");
        }
        return copy;
    }

    private static void setRecipients(MimeMessage out, Message.RecipientType type, Address[] addresses)
            throws MessagingException {
        if (addresses != null && addresses.length > 0) {
            out.setRecipients(type, addresses);
        }
    }

    private static boolean sameAddresses(Address[] a, Address[] b) {
        if (a == null || b == null || a.length != b.length) {
            return false;
        }
        for (int i = 0; i < a.length; i++) {
            if (!a[i].equals(b[i])) {
                return false;
            }
        }
        return true;
    }

    /** The single body text of a content that holds nothing else; null otherwise. */
    static BodyPart soleText(MAPIMultipart parts) throws MessagingException {
        if (parts == null || parts.getCount() != 1) {
            return null;
        }
        MAPIBodyPart only = (MAPIBodyPart) parts.getBodyPart(0);
        return only.isAttachment() ? null : only;
    }
}
