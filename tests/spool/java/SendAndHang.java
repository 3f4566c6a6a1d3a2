import com.plimo.mail.mapi.MAPINative;

/**
 * Sends one message through the natives and then waits to be killed:
 *
 * <pre>
 * SendAndHang PROFILE TEMP_DIR TO SUBJECT [exit]
 * </pre>
 *
 * Prints "sent" once sendMessage has returned. The test kills the process there; with
 * "exit", the process calls System.exit(0) once a line arrives on its standard input.
 */
public final class SendAndHang {
    private SendAndHang() {
    }

    public static void main(String[] args) throws Exception {
        MAPINative.initMapi();
        long transport = MAPINative.getTransport(args[0], "", args[1], "Sent Items");
        long message = MAPINative.createMessage(transport);
        MAPINative.setMessageSubject(message, args[3]);
        MAPINative.addMessageToRecipient(message, "Receiver", args[2]);
        MAPINative.setMessagePlainTextBody(message, "sent just before the sender was killed\n");
        MAPINative.sendMessage(message);
        System.out.println("sent");
        System.out.flush();
        if (args.length > 4 && args[4].equals("exit")) {
            new java.io.BufferedReader(new java.io.InputStreamReader(System.in)).readLine();
            System.exit(0);
        }
        Thread.sleep(600_000);
    }
}
