package com.plimo.mail.mapi;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.CharBuffer;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.Charset;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Date;
import java.util.Enumeration;
import java.util.List;
import java.util.Properties;
import javax.activation.DataHandler;
import javax.mail.Address;
import javax.mail.BodyPart;
import javax.mail.Message;
import javax.mail.MessagingException;
import javax.mail.Multipart;
import javax.mail.Part;
import javax.mail.Session;
import javax.mail.internet.ContentType;
import javax.mail.internet.MimeBodyPart;
import javax.mail.internet.MimeMessage;
import javax.mail.internet.MimeMultipart;
import javax.mail.internet.MimePart;
import javax.mail.util.ByteArrayDataSource;

/**
 * A MIME message made from what the store answers for a {@link MAPIMessage}: its headers,
 * the plain-text and HTML bodies in the charset the body came in (PR_INTERNET_CPID;
 * multipart/alternative when both), inline attachments with their Content-ID beside the
 * HTML (multipart/related), the other attachments around them (multipart/mixed), each
 * with the Content-Type, charset, Content-Disposition and Content-Location it arrived with
 * where the store keeps them. A message kept as it arrived because it is signed
 * ({@link #SIGNED_CLASS}) is its headers and the signed entity, byte for byte, so that the
 * signature still verifies. An attached message is a message/rfc822 part of its own MIME
 * form, made the same way.
 */
final class MimeRendering {

    /** The class of a signed message whose one attachment is the signed entity as it arrived. */
    static final String SIGNED_CLASS = "IPM.Note.SMIME.MultipartSigned";

    /** PR_ATTACH_FLAGS: the HTML body shows the attachment inline. */
    private static final int ATT_MHTML_REF = 4;

    // The fields of MAPINativeAttached.getPartMime.
    private static final int CHARSET = 0;
    private static final int CONTENT_TYPE = 1;
    private static final int DISPOSITION = 2;
    private static final int LOCATION = 3;
    private static final int FLAGS = 4;

    private MimeRendering() {
    }

    static MimeMessage render(MAPIMessage source, Session session) throws MessagingException {
        return render(source, session, true);
    }

    /**
     * The MIME form; without the envelope (From, To, Cc, Reply-To, Subject, Date,
     * X-Priority, Message-ID left out, and not read from the store) for a reader that takes
     * those from the arrived header block and needs the content alone.
     */
    static MimeMessage render(MAPIMessage source, Session session, boolean envelope) throws MessagingException {
        if (session == null) {
            session = Session.getInstance(new Properties());
        }
        final String messageId = envelope ? source.getMessageID() : null;
        MimeMessage out = new MimeMessage(session) {
            @Override
            protected void updateMessageID() throws MessagingException {
                if (messageId != null) {
                    setHeader("Message-ID", messageId);
                } else if (envelope) {
                    super.updateMessageID();
                }
                // Content alone: no identifier made up (that costs a look-up of the host).
            }
        };
        if (envelope) {
            setEnvelope(out, source);
        }
        String[] form = source.mimeForm();
        try {
            if (SIGNED_CLASS.equals(form[0])) {
                MimeMessage signed = signedMessage(out, source, messageId, session);
                if (signed != null) {
                    return signed;
                }
            }
            // Texts get their transfer encoding here, unless the session lets JavaMail write
            // UTF-8 as it is (its choice then depends on that).
            boolean ownChoice = !Boolean.parseBoolean(session.getProperty("mail.mime.allowutf8"));
            setContent(out, source, charsetOfCodePage(form[1]), ownChoice);
        } catch (IOException e) {
            throw new MessagingException("Cannot read the message's parts: " + e.getMessage(), e);
        }
        out.saveChanges();
        return out;
    }

    private static void setEnvelope(MimeMessage out, MAPIMessage source) throws MessagingException {
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
    }

    /**
     * The signed message: the header fields made so far, then the signed entity (its
     * content fields and body) exactly as the store keeps it; null when the message holds no
     * such entity.
     */
    private static MimeMessage signedMessage(MimeMessage headers, MAPIMessage source, String messageId,
            Session session) throws MessagingException, IOException {
        MAPIMultipart parts = source.getMultipart();
        MAPIBodyPart entity = null;
        for (int i = 0; parts != null && i < parts.getCount(); i++) {
            MAPIBodyPart part = (MAPIBodyPart) parts.getBodyPart(i);
            if (part.isAttachment() && part.isMimeType("multipart/signed")) {
                entity = part;
            }
        }
        if (entity == null) {
            return null;
        }
        if (messageId != null) {
            headers.setHeader("Message-ID", messageId);
        }
        headers.setHeader("MIME-Version", "1.0");
        ByteArrayOutputStream whole = new ByteArrayOutputStream();
        for (Enumeration<?> lines = headers.getAllHeaderLines(); lines.hasMoreElements();) {
            String line = (String) lines.nextElement();
            if (!line.regionMatches(true, 0, "Content-", 0, 8)) {
                whole.write(line.getBytes(StandardCharsets.ISO_8859_1));
                whole.write('\r');
                whole.write('\n');
            }
        }
        whole.write(data(entity));
        // Read back, the message writes exactly these bytes again.
        return new MimeMessage(session, new ByteArrayInputStream(whole.toByteArray()));
    }

    private static void setContent(MimeMessage out, MAPIMessage source, String charset, boolean ownChoice)
            throws MessagingException, IOException {
        MAPIMultipart parts = source.getMultipart();
        String plain = null;
        String html = null;
        List<MAPIBodyPart> attachments = new ArrayList<>();
        if (parts == null) {
            plain = source.getTextBody();
            if (plain.isEmpty() && !source.getHtmlBody().isEmpty()) {
                plain = null;
                html = source.getHtmlBody();
            }
        } else {
            for (int i = 0; i < parts.getCount(); i++) {
                MAPIBodyPart part = (MAPIBodyPart) parts.getBodyPart(i);
                if (part.isAttachment()) {
                    attachments.add(part);
                    continue;
                }
                String text = (String) part.getContent();
                if (part.isMimeType("text/html")) {
                    html = html == null ? text : html;
                } else {
                    plain = plain == null ? text : plain;
                }
            }
        }
        boolean hasHtml = html != null || source.getHtmlBody().length() > 0;
        List<MimeBodyPart> inline = new ArrayList<>();
        List<MimeBodyPart> others = new ArrayList<>();
        for (MAPIBodyPart part : attachments) {
            String[] fields = part.mimeFields();
            MimeBodyPart copy = attachment(part, fields, ownChoice);
            boolean shownInline = fields[FLAGS] != null
                    ? (Integer.parseInt(fields[FLAGS]) & ATT_MHTML_REF) != 0 : true;
            if (part.getContentID() != null && hasHtml && shownInline) {
                if (fields[DISPOSITION] == null) {
                    copy.setDisposition(Part.INLINE);
                }
                inline.add(copy);
            } else {
                others.add(copy);
            }
        }
        // The body: plain and HTML as alternatives, the HTML with its inline parts as a
        // multipart/related; a message without any text has an empty plain text.
        MimeBodyPart htmlPart = null;
        if (html != null) {
            htmlPart = textPart(html, charset, "html", ownChoice);
            if (!inline.isEmpty()) {
                MimeMultipart related = new MimeMultipart("related");
                related.addBodyPart(htmlPart);
                for (MimeBodyPart p : inline) {
                    related.addBodyPart(p);
                }
                htmlPart = new MimeBodyPart();
                htmlPart.setContent(related);
            }
        } else {
            others.addAll(0, inline);
        }
        MimeBodyPart body;
        if (plain != null && htmlPart != null) {
            MimeMultipart alternative = new MimeMultipart("alternative");
            alternative.addBodyPart(textPart(plain, charset, "plain", ownChoice));
            alternative.addBodyPart(htmlPart);
            body = new MimeBodyPart();
            body.setContent(alternative);
        } else if (htmlPart != null) {
            body = htmlPart;
        } else {
            body = textPart(plain == null ? "" : plain, charset, "plain", ownChoice);
        }
        if (others.isEmpty()) {
            Object content = body.getContent();
            if (content instanceof Multipart) {
                out.setContent((Multipart) content);
            } else {
                setText(out, (String) content, charset, htmlPart != null ? "html" : "plain", ownChoice);
            }
            return;
        }
        MimeMultipart mixed = new MimeMultipart("mixed");
        mixed.addBodyPart(body);
        for (MimeBodyPart p : others) {
            mixed.addBodyPart(p);
        }
        out.setContent(mixed);
    }

    private static MimeBodyPart textPart(String text, String charset, String subtype, boolean ownChoice)
            throws MessagingException {
        MimeBodyPart p = new MimeBodyPart();
        setText(p, text, charset, subtype, ownChoice);
        return p;
    }

    /** A body text in the charset the body came in, else (a text it cannot hold) in UTF-8. */
    private static void setText(MimePart part, String text, String charset, String subtype, boolean ownChoice)
            throws MessagingException {
        String use = "UTF-8";
        byte[] data = null;
        if (charset != null) {
            try {
                // One pass: the text encoded, or a failure for a character the charset lacks.
                ByteBuffer encoded = Charset.forName(charset).newEncoder()
                        .onMalformedInput(CodingErrorAction.REPORT)
                        .onUnmappableCharacter(CodingErrorAction.REPORT)
                        .encode(CharBuffer.wrap(text));
                data = new byte[encoded.remaining()];
                encoded.get(data);
                use = charset;
            } catch (IllegalArgumentException | CharacterCodingException e) {
                // A charset this Java does not have, or a text it cannot hold: UTF-8.
            }
        }
        if (data == null) {
            data = text.getBytes(StandardCharsets.UTF_8);
        }
        part.setText(text, use, subtype);
        setEncoding(part, data, ownChoice);
    }

    /**
     * The transfer encoding of a text, chosen from the bytes at hand as JavaMail chooses it
     * when it writes the part (7bit for ASCII in lines of at most 998 bytes, quoted-printable
     * for text mostly ASCII, else base64), so that JavaMail need not encode the text once
     * more to choose. Except that a text not all ASCII whose lines end in a bare LF (as it
     * came) goes in base64: quoted-printable writes every line end as CRLF. Under
     * {@code mail.mime.allowutf8} JavaMail's own choice stands (it may be 8bit).
     */
    private static void setEncoding(MimePart part, byte[] data, boolean ownChoice) throws MessagingException {
        int ascii = 0;
        int nonAscii = 0;
        boolean high = false;
        boolean bareLf = false;
        boolean longLine = false;
        int lineLength = 0;
        for (int i = 0; i < data.length; i++) {
            int b = data[i] & 0xff;
            high |= b >= 0x80;
            if (b == '\r' || b == '\n') {
                bareLf |= b == '\n' && (i == 0 || data[i - 1] != '\r');
                lineLength = 0;
            } else if (++lineLength > 998) {
                longLine = true;
            }
            if (b >= 0177 || (b < 040 && b != '\r' && b != '\n' && b != '\t')) {
                nonAscii++;
            } else {
                ascii++;
            }
        }
        String encoding;
        if (bareLf && high) {
            encoding = "base64";
        } else if (!ownChoice) {
            return;
        } else if (nonAscii == 0) {
            encoding = longLine ? "quoted-printable" : "7bit";
        } else {
            encoding = ascii > nonAscii ? "quoted-printable" : "base64";
        }
        part.setHeader("Content-Transfer-Encoding", encoding);
    }

    /**
     * The charset of a Windows code page (PR_INTERNET_CPID) as mail names it; null for none
     * or one this table does not know (the text is then written as UTF-8).
     */
    static String charsetOfCodePage(String codePage) {
        if (codePage == null) {
            return null;
        }
        int cp;
        try {
            cp = Integer.parseInt(codePage);
        } catch (NumberFormatException e) {
            return null;
        }
        switch (cp) {
            case 65001: return "UTF-8";
            case 20127: return "US-ASCII";
            case 1200: return "UTF-16LE";
            case 1201: return "UTF-16BE";
            case 20866: return "KOI8-R";
            case 21866: return "KOI8-U";
            case 50220: case 50221: case 50222: return "ISO-2022-JP";
            case 51932: return "EUC-JP";
            case 51949: return "EUC-KR";
            case 932: return "Shift_JIS";
            case 936: return "GBK";
            case 949: return "x-windows-949";
            case 950: return "Big5";
            case 54936: return "GB18030";
            case 28603: return "ISO-8859-13";
            case 28605: return "ISO-8859-15";
            default: break;
        }
        if (cp >= 28591 && cp <= 28599) {
            return "ISO-8859-" + (cp - 28590);
        }
        if (cp >= 1250 && cp <= 1258) {
            return "windows-" + cp;
        }
        return null;
    }

    /**
     * An attachment as a MIME part: its type with the parameters it arrived with, its
     * disposition as it arrived (a message delivered before the store kept that gets
     * "attachment" with its file name), its content identifier and location, its bytes.
     */
    private static MimeBodyPart attachment(MAPIBodyPart part, String[] fields, boolean ownChoice) throws MessagingException, IOException {
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
        String type;
        if (part.isMimeType("message/rfc822")) {
            type = MAPIMessage.MSG_FILE_TYPE;
        } else if (fields[CONTENT_TYPE] != null) {
            type = fields[CONTENT_TYPE];
        } else if (fields[CHARSET] != null) {
            ContentType withCharset = new ContentType(part.getContentType());
            withCharset.setParameter("charset", fields[CHARSET]);
            type = withCharset.toString();
        } else {
            type = part.getContentType();
        }
        MimeBodyPart copy = new KeptTypePart(type);
        if (part.isMimeType("text/*")) {
            byte[] data = data(part);
            copy.setDataHandler(new DataHandler(new ByteArrayDataSource(data, type)));
            copy.setHeader("Content-Type", type);
            setEncoding(copy, data, ownChoice);
        } else {
            // Other data is read from the store when it is read (once by a walk, not twice),
            // and goes in base64 without JavaMail reading it all first to choose an encoding.
            copy.setDataHandler(new DataHandler(new PartData(part, type)));
            copy.setHeader("Content-Type", type);
            copy.setHeader("Content-Transfer-Encoding", "base64");
        }
        if (fields[DISPOSITION] == null) {
            copy.setDisposition(Part.ATTACHMENT);
            String name = part.getFileName();
            if (name != null) {
                copy.setFileName(name);
            }
        } else if (!fields[DISPOSITION].isEmpty()) {
            copy.setHeader("Content-Disposition", fields[DISPOSITION]);
        }
        String id = part.getContentID();
        if (id != null) {
            copy.setContentID("<" + id + ">");
        }
        if (fields[LOCATION] != null) {
            copy.setHeader("Content-Location", fields[LOCATION]);
        }
        return copy;
    }

    /** A part's data, whole. */
    private static byte[] data(MAPIBodyPart part) throws MessagingException, IOException {
        try (InputStream in = part.getInputStream()) {
            ByteArrayOutputStream buffer = new ByteArrayOutputStream();
            byte[] chunk = new byte[64 * 1024];
            int n;
            while ((n = in.read(chunk)) > 0) {
                buffer.write(chunk, 0, n);
            }
            return buffer.toByteArray();
        }
    }

    /** An attachment's data as a DataSource that reads it from the store each time. */
    private static final class PartData implements javax.activation.DataSource {
        private final MAPIBodyPart part;
        private final String type;

        PartData(MAPIBodyPart part, String type) {
            this.part = part;
            this.type = type;
        }

        @Override
        public InputStream getInputStream() throws IOException {
            try {
                return part.getInputStream();
            } catch (MessagingException e) {
                throw new IOException(e.getMessage(), e);
            }
        }

        @Override
        public java.io.OutputStream getOutputStream() throws IOException {
            throw new IOException("The data of a stored attachment cannot be written");
        }

        @Override
        public String getContentType() {
            return type;
        }

        @Override
        public String getName() {
            try {
                return part.getFileName();
            } catch (MessagingException e) {
                return null;
            }
        }
    }

    /**
     * A part whose Content-Type stays as it arrived: JavaMail adds the file name of the
     * disposition to the type when it saves a part (mail.mime.setcontenttypefilename), which
     * would give the part a parameter it never had.
     */
    private static final class KeptTypePart extends MimeBodyPart {
        private final String type;

        KeptTypePart(String type) {
            this.type = type;
        }

        @Override
        protected void updateHeaders() throws MessagingException {
            super.updateHeaders();
            setHeader("Content-Type", type);
        }
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
